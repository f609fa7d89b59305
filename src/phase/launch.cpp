#include "phase/launch.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "phase/child_exec.hpp"
#include "phase/contain.hpp"
#include "phase/limits.hpp"
#include "phase/network.hpp"
#include "phase/termination.hpp"
#include "report/output_capture.hpp"

namespace tessimar {
namespace {

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;

// Moves a descriptor above 2 so that dup2 onto 0..2 can never clobber it.
int lift(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return high;
}

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

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

void sleep_10ms() {
    struct timespec left{0, 10'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace

PhaseOutcome run_phase(const PhaseRequest& r) {
    const std::string out_path = join_path(r.scratch_dir, r.phase + ".out");
    const std::string err_path = join_path(r.scratch_dir, r.phase + ".err");
    const std::string in_path = join_path(r.scratch_dir, r.phase + ".in");

    {
        UniqueFd in(retry_eintr([&] { return open(in_path.c_str(), kCreateFlags, 0666); }));
        if (in.valid()) (void)write_all(in.get(), r.stdin_bytes.data(), r.stdin_bytes.size());
    }

    UniqueFd out_fd(lift(retry_eintr([&] { return open(out_path.c_str(), kCreateFlags, 0666); })));
    UniqueFd err_fd(lift(retry_eintr([&] { return open(err_path.c_str(), kCreateFlags, 0666); })));
    // Non-blocking and no links: a FIFO or link planted at the input name is
    // refused rather than waited on.
    UniqueFd in_fd(lift(retry_eintr(
        [&] { return open(in_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); })));
    if (in_fd.valid()) {
        struct stat st;
        if (fstat(in_fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) in_fd.reset();
        else (void)fcntl(in_fd.get(), F_SETFL, O_RDONLY);
    }
    if (!out_fd.valid() || !err_fd.valid() || !in_fd.valid()) return io_failure(r.scratch_dir);

    ChildEnv env = build_child_env(r.python_path, r.extra_env);
    const NetPlan net = plan_network(r.limits.no_net, env);
    PhaseOutcome outcome;
    const LimitPlan limits = plan_limits(r.limits, outcome.unenforced, r.phase != "compile");
    // --contain: private HOME and TMPDIR in the environment, the ruleset ready.
    Result<ContainPlan> contained = plan_contain(r.limits, r.scratch_dir, env);
    if (!contained) return start_failure(r, contained.error());
    const ContainPlan& contain = contained.value();

    // Everything the child touches is built here, before the fork.
    for (const std::string& a : r.argv)
        if (has_nul(a)) return start_failure(r, "nul byte found in provided data");
    if (has_nul(r.cwd)) return start_failure(r, "nul byte found in provided data");
    for (const auto& [name, value] : env)
        if (has_nul(value)) return start_failure(r, "nul byte found in provided data");

    std::vector<std::string> argv_strings = r.argv;
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<std::string> env_strings = env_block(env);
    std::vector<char*> envp = pointers(env_strings);
    std::vector<std::string> candidate_strings = exec_candidates(r.argv[0], env["PATH"]);
    std::vector<char*> candidates = pointers(candidate_strings);
    std::vector<std::string> script_strings;
    script_strings.push_back("/bin/sh");
    script_strings.push_back("");
    for (std::size_t i = 1; i < r.argv.size(); ++i) script_strings.push_back(r.argv[i]);
    std::vector<char*> script_argv = pointers(script_strings);
    std::string cwd = r.cwd;

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return start_failure(r, os_error_text(errno));
    UniqueFd pipe_read(lift(pipe_fds[0]));
    UniqueFd pipe_write(lift(pipe_fds[1]));
    if (!pipe_read.valid() || !pipe_write.valid()) return start_failure(r, os_error_text(EMFILE));

    ChildPlan plan;
    plan.stdin_fd = in_fd.get();
    plan.stdout_fd = out_fd.get();
    plan.stderr_fd = err_fd.get();
    plan.error_fd = pipe_write.get();
    plan.cwd = cwd.c_str();
    plan.argv = argv.data();
    plan.envp = envp.data();
    plan.candidates = candidates.data();
    plan.script_argv = script_argv.data();
    plan.limits = limits;
    plan.runner_pid = getpid();
    const std::vector<sock_filter>& filter = build_network_filter();
    const sock_fprog program{static_cast<unsigned short>(filter.size()),
                             const_cast<sock_filter*>(filter.data())};
    plan.filter = net.filter ? &program : nullptr;
    plan.contain = contain.child();

    install_termination_handler();
    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &previous);

    const pid_t pid = fork();
    if (pid == 0) child_main(plan);
    const int fork_errno = errno;
    pipe_write.reset();
    in_fd.reset();
    out_fd.reset();
    err_fd.reset();
    if (pid < 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return start_failure(r, os_error_text(fork_errno));
    }

    ChildFailure failure{};
    const ssize_t got = retry_eintr([&] { return read(pipe_read.get(), &failure, sizeof failure); });
    pipe_read.reset();
    if (got != 0) {
        int status;
        (void)retry_eintr([&] { return waitpid(pid, &status, 0); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        const int err = got == static_cast<ssize_t>(sizeof failure) ? failure.error : EIO;
        return start_failure(r, os_error_text(err));
    }

    exchange_child_pid(pid);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    struct rusage usage{};
    while (true) {
        const pid_t w = wait4(pid, &status, WNOHANG, &usage);
        if (w == pid) break;
        if (w < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            if (pid > 1) (void)killpg(pid, SIGKILL);
            int ignored;
            (void)waitpid(pid, &ignored, 0);
            exchange_child_pid(0);
            return start_failure(r, os_error_text(err));
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - t0);
        if (static_cast<std::uint64_t>(elapsed.count()) >= r.limits.timeout_secs) {
            (void)killpg(pid, SIGKILL);
            (void)retry_eintr([&] { return wait4(pid, &status, 0, &usage); });
            outcome.timed_out = true;
            break;
        }
        sleep_10ms();
    }
    if (pid > 1) (void)killpg(pid, SIGKILL);  // whatever the child left in its group
    exchange_child_pid(0);

    const int sig = status & 0x7f;
    if (sig == 0) {
        outcome.exit_code = (status >> 8) & 0xff;
    } else {
        outcome.signaled = true;
        outcome.signal = sig;
        outcome.exit_code = 0;
    }
    const long long cpu = (static_cast<long long>(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1000 +
                          (static_cast<long long>(usage.ru_utime.tv_usec) + usage.ru_stime.tv_usec) / 1000;
    outcome.cpu_ms = cpu < 0 ? 0 : static_cast<std::uint64_t>(cpu);
    outcome.peak_memory_kb = usage.ru_maxrss < 0 ? 0 : static_cast<std::uint64_t>(usage.ru_maxrss);

    network_notes(net, outcome.unenforced);
    contain_notes(contain, outcome.unenforced);

    CapturedOutput out = read_captured_output(out_path, r.limits.max_output_kb);
    CapturedOutput err = read_captured_output(err_path, r.limits.max_output_kb);
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
    return outcome;
}

}  // namespace tessimar
