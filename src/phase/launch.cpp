#include "phase/launch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/c_strings.hpp"
#include "common/fd.hpp"
#include "common/text.hpp"
#include "phase/child_exec.hpp"
#include "phase/child_wait.hpp"
#include "phase/contain.hpp"
#include "phase/data_limit.hpp"
#include "phase/limits.hpp"
#include "phase/network.hpp"
#include "phase/reaper.hpp"
#include "phase/run_user.hpp"
#include "phase/spawn.hpp"
#include "phase/termination.hpp"
#include "report/output_capture.hpp"

namespace tessimar {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;

// Above 2, so that the child's dup2 onto 0..2 can never clobber one.
int lift(int fd) { return move_above(fd, 2); }

PhaseOutcome io_failure(const std::string& scratch_dir) {
    PhaseOutcome o;
    o.stderr_text = "cannot create I/O files in " + display_path(scratch_dir);
    o.exit_code = -2;
    return o;
}

PhaseOutcome start_failure(const PhaseRequest& r, const std::string& reason) {
    PhaseOutcome o;
    const std::string message = "runtime unavailable for the " + r.phase + " phase: " +
                                utf8_lossy(r.argv[0]) + " not found (" + reason + ")";
    o.stderr_text = message;
    o.spawn_error = message;
    o.exit_code = -2;
    return o;
}

bool has_nul(const std::string& s) { return s.find('\0') != std::string::npos; }

// The three standard streams of the child, on the phase's files.
struct PhaseFiles {
    std::string in_path, out_path, err_path;
    UniqueFd in, out, err;
};

// Writes the input file and opens the child's descriptors; false when one
// of the three cannot be had.
bool open_phase_files(const PhaseRequest& r, PhaseFiles& f) {
    f.out_path = join_path(r.scratch_dir, r.phase + ".out");
    f.err_path = join_path(r.scratch_dir, r.phase + ".err");
    f.in_path = join_path(r.scratch_dir, r.phase + ".in");
    {
        UniqueFd in(retry_eintr([&] { return open(f.in_path.c_str(), kCreateFlags, 0666); }));
        if (in.valid()) (void)write_all(in.get(), r.stdin_bytes.data(), r.stdin_bytes.size());
    }
    f.out.reset(lift(retry_eintr([&] { return open(f.out_path.c_str(), kCreateFlags, 0666); })));
    f.err.reset(lift(retry_eintr([&] { return open(f.err_path.c_str(), kCreateFlags, 0666); })));
    // Non-blocking and no links: a FIFO or link planted at the input name is
    // refused rather than waited on.
    f.in.reset(lift(retry_eintr(
        [&] { return open(f.in_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); })));
    if (f.in.valid()) {
        struct stat st;
        if (fstat(f.in.get(), &st) != 0 || !S_ISREG(st.st_mode)) f.in.reset();
        else (void)fcntl(f.in.get(), F_SETFL, O_RDONLY);
    }
    return f.out.valid() && f.err.valid() && f.in.valid();
}

// Everything the child touches between fork and exec, built in the runner.
// Pinned in place: the plan points into the strings below.
class PreparedChild {
public:
    PreparedChild(const PhaseRequest& r, const ChildEnv& env, const LimitPlan& limits, const NetPlan& net,
                  const ContainPlan& contain, const PhaseFiles& files, const PhaseStreams& streams)
        : argv_strings_(r.argv), env_strings_(env_block(env)), cwd_(r.cwd) {
        candidate_strings_ = exec_candidates(r.argv[0], env.count("PATH") ? env.at("PATH") : std::string());
        script_strings_.push_back("/bin/sh");
        script_strings_.push_back("");
        for (std::size_t i = 1; i < r.argv.size(); ++i) script_strings_.push_back(r.argv[i]);
        argv_ = c_pointers(argv_strings_);
        envp_ = c_pointers(env_strings_);
        candidates_ = c_pointers(candidate_strings_);
        script_argv_ = c_pointers(script_strings_);
        const std::vector<sock_filter>& filter = build_network_filter();
        program_ = sock_fprog{static_cast<unsigned short>(filter.size()), const_cast<sock_filter*>(filter.data())};

        plan_.stdin_fd = streams.stdin_fd >= 0 ? streams.stdin_fd : files.in.get();
        plan_.stdout_fd = streams.stdout_fd >= 0 ? streams.stdout_fd : files.out.get();
        plan_.stderr_fd = files.err.get();
        plan_.cwd = cwd_.c_str();
        plan_.argv = argv_.data();
        plan_.envp = envp_.data();
        plan_.candidates = candidates_.data();
        plan_.script_argv = script_argv_.data();
        plan_.limits = limits;
        plan_.runner_pid = getpid();
        plan_.filter = net.filter ? &program_ : nullptr;
        plan_.contain = contain.child();
        plan_.contain.switch_user = r.user.active;
        plan_.contain.uid = r.user.uid;
        plan_.contain.gid = r.user.gid;
    }
    PreparedChild(const PreparedChild&) = delete;
    PreparedChild& operator=(const PreparedChild&) = delete;

    ChildPlan& plan() { return plan_; }

private:
    std::vector<std::string> argv_strings_, env_strings_, candidate_strings_, script_strings_;
    std::string cwd_;
    std::vector<char*> argv_, envp_, candidates_, script_argv_;
    sock_fprog program_{};
    ChildPlan plan_;
};

// "nul byte found in provided data" when any text handed to exec holds one.
bool exec_inputs_have_nul(const PhaseRequest& r, const ChildEnv& env) {
    for (const std::string& a : r.argv)
        if (has_nul(a)) return true;
    if (has_nul(r.cwd)) return true;
    for (const auto& [name, value] : env)
        if (has_nul(value)) return true;
    return false;
}

struct Started {
    pid_t pid = -1;
    int error = 0;  // set when the child could not be started
};

// Starts the child and waits for its exec. The termination signals stay
// blocked from before the fork until the child is recorded, so the handler
// never sees a running child that it cannot kill; once one was received,
// no child starts.
Started start_child(ChildPlan& plan, PhaseFiles& files, bool peer) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {-1, errno};
    UniqueFd pipe_read(lift(pipe_fds[0]));
    UniqueFd pipe_write(lift(pipe_fds[1]));
    if (!pipe_read.valid() || !pipe_write.valid()) return {-1, EMFILE};
    plan.error_fd = pipe_write.get();

    install_termination_handler();
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    // The runner is ending: nothing new starts.
    if (termination_signal() != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return {-1, EINTR};
    }

    const pid_t pid = spawn_child(plan);
    const int start_errno = errno;
    pipe_write.reset();
    files.in.reset();
    files.out.reset();
    files.err.reset();
    if (pid < 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return {-1, start_errno};
    }

    // The pipe closes on exec; a report on it means a step failed.
    ChildFailure failure{};
    const ssize_t got = retry_eintr([&] { return read(pipe_read.get(), &failure, sizeof failure); });
    if (got != 0) {
        int status;
        (void)retry_eintr([&] { return waitpid(pid, &status, 0); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return {-1, got == static_cast<ssize_t>(sizeof failure) ? failure.error : EIO};
    }
    if (peer) exchange_peer_pid(pid);
    else exchange_child_pid(pid);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return {pid, 0};
}

void measure(const WaitResult& w, PhaseOutcome& outcome) {
    outcome.timed_out = w.timed_out;
    const int sig = w.status & 0x7f;
    if (sig == 0) {
        outcome.exit_code = (w.status >> 8) & 0xff;
    } else {
        outcome.signaled = true;
        outcome.signal = sig;
        outcome.exit_code = 0;
    }
    const struct rusage& u = w.usage;
    const long long cpu = (static_cast<long long>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000 +
                          (static_cast<long long>(u.ru_utime.tv_usec) + u.ru_stime.tv_usec) / 1000;
    outcome.cpu_ms = cpu < 0 ? 0 : static_cast<std::uint64_t>(cpu);
    outcome.peak_memory_kb = u.ru_maxrss < 0 ? 0 : static_cast<std::uint64_t>(u.ru_maxrss);
}

void read_back(const PhaseFiles& files, std::uint64_t max_output_kb, PhaseOutcome& outcome) {
    CapturedOutput out = read_captured_output(files.out_path, max_output_kb);
    CapturedOutput err = read_captured_output(files.err_path, max_output_kb);
    outcome.stdout_text = std::move(out.text);
    outcome.stdout_bytes = out.size;
    outcome.stderr_text = std::move(err.text);
    outcome.stderr_bytes = err.size;
    outcome.output_truncated = out.truncated || err.truncated;
    if (out.error && err.error)
        outcome.output_error = "stdout: " + *out.error + "; stderr: " + *err.error;
    else if (out.error)
        outcome.output_error = "stdout: " + *out.error;
    else if (err.error)
        outcome.output_error = "stderr: " + *err.error;
    if (outcome.timed_out && outcome.stderr_text.empty())
        outcome.stderr_text = "<killed: exceeded wall-clock timeout>";
}

// How long the runner keeps killing what a phase left behind before it gives
// up: far above what a real escapee needs (a few milliseconds), low enough
// that a process forking as fast as it is killed cannot hold a run for long.
constexpr std::chrono::milliseconds kSweepBound{2000};

}  // namespace

// A started phase child and what its outcome is made of once it ends.
struct LaunchedPhase {
    PhaseRequest request;
    PhaseFiles files;
    NetPlan net;
    DataLimitPlan data;
    ContainPlan contain;
    PhaseOutcome outcome;  // the notes so far
};

void LaunchDeleter::operator()(LaunchedPhase* launched) const { delete launched; }

PhaseStart start_phase(PhaseRequest r, const PhaseStreams& streams) {
    Launch l(new LaunchedPhase{});
    LaunchedPhase& p = *l;
    // Prepare.
    const bool opened = open_phase_files(r, p.files);
    std::string().swap(r.stdin_bytes);
    if (!opened) return PhaseStart{nullptr, io_failure(r.scratch_dir), -1};
    ChildEnv env = build_child_env(r.python_path, r.extra_env);
    p.net = plan_network(r.limits.no_net, env);
    p.data = plan_data_limit(r.limits, r.memory, r.phase == "compile");
    LimitPlan limits = plan_limits(with_backstop(r.limits, p.data), p.outcome.unenforced, r.phase != "compile",
                                   r.user);
    plan_data_bytes(limits, p.data.data_mb, p.outcome.unenforced);
    apply_heap_hint(p.data, r.argv, env);
    // --contain: private HOME and TMPDIR in the environment, the ruleset ready.
    Result<ContainPlan> contained = plan_contain(r.limits, r.scratch_dir, env, r.user);
    if (!contained) return PhaseStart{nullptr, start_failure(r, contained.error()), -1};
    p.contain = std::move(contained.value());
    // The run's own id owns the phase's files and the private directory.
    const int handed[] = {p.files.in.get(), p.files.out.get(), p.files.err.get(), p.contain.private_dir.get(),
                          streams.stdin_fd, streams.stdout_fd};
    if (const int err = hand_over(r.user, handed, std::size(handed)))
        return PhaseStart{nullptr, start_failure(r, os_error_text(err)), -1};
    if (exec_inputs_have_nul(r, env)) return PhaseStart{nullptr, start_failure(r, "nul byte found in provided data"), -1};
    PreparedChild child(r, env, limits, p.net, p.contain, p.files, streams);
    (void)become_subreaper();

    // Start.
    const Started started = start_child(child.plan(), p.files, streams.peer);
    if (started.pid < 0) return PhaseStart{nullptr, start_failure(r, os_error_text(started.error)), -1};
    p.request = std::move(r);
    return PhaseStart{std::move(l), PhaseOutcome{}, started.pid};
}

PhaseOutcome finish_phase(LaunchedPhase& p, const WaitResult& waited, std::uint64_t descendants_peak_kb) {
    if (waited.error != 0) return start_failure(p.request, os_error_text(waited.error));
    PhaseOutcome outcome = std::move(p.outcome);
    measure(waited, outcome);
    if (p.data.budget_kb != 0) {
        outcome.memory_budget_kb = p.data.budget_kb;
        outcome.peak_memory_kb = std::max(outcome.peak_memory_kb, descendants_peak_kb);
    }
    network_notes(p.net, outcome.unenforced);
    contain_notes(p.contain, outcome.unenforced);
    if (p.request.user.unavailable) outcome.unenforced.push_back("contain_uid_unavailable");
    read_back(p.files, p.request.limits.max_output_kb, outcome);
    return outcome;
}

SweepResult end_phase_processes(const ChildUser& user) {
    // Nothing the phase started may still write its files while they are
    // read back, or outlive the run.
    const SweepResult swept = sweep_descendants(kSweepBound);
    // The run's own id marks its processes wherever they went: what the
    // sweep could not reach or end is ended here, so that nothing of the id
    // outlives the phase.
    if (user.active && (!swept.complete || !become_subreaper())) (void)kill_processes_of(user.uid, user.gid);
    return swept;
}

PhaseOutcome run_phase(PhaseRequest r) {
    const ChildUser user = r.user;
    const std::uint64_t timeout_ms = wall_timeout_ms(r.limits);
    PhaseStart start = start_phase(std::move(r));
    if (start.pid < 0) return std::move(start.failure);
    const pid_t pid = start.pid;

    // Wait.
    const WaitResult waited = wait_for_child(pid, std::chrono::steady_clock::now(), timeout_ms);
    if (pid > 1) (void)killpg(pid, SIGKILL);  // whatever the child left in its group
    exchange_child_pid(0);
    // And whatever left the group.
    const SweepResult swept = end_phase_processes(user);
    return finish_phase(*start.launched, waited, swept.peak_memory_kb);
}

}  // namespace tessimar
