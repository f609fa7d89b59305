// run_phase called in-process: the child it starts is a real process, and the
// test looks at what that process saw (environment, limits, descriptors,
// network) and at the measured outcome.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "phase/launch.hpp"
#include "phase/network.hpp"
#include "test_support.hpp"

using namespace testing_support;
using tessimar::PhaseOutcome;
using tessimar::PhaseRequest;

namespace {

constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kBash = "/bin/bash";
constexpr const char* kTimeoutText = "<killed: exceeded wall-clock timeout>";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool all_hard_limits_unlimited() {
    for (const int res : {RLIMIT_CPU, RLIMIT_FSIZE, RLIMIT_AS}) {
        struct rlimit rl;
        if (getrlimit(res, &rl) != 0 || rl.rlim_max != RLIM_INFINITY) return false;
    }
    struct rlimit rl;
    // The process limit is at most the task count plus 512 headroom.
    return getrlimit(RLIMIT_NPROC, &rl) == 0 && (rl.rlim_max == RLIM_INFINITY || rl.rlim_max > 100000);
}

// Alive means present in /proc and not a zombie.
bool pid_alive(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (stat.empty()) return false;
    const auto close_paren = stat.rfind(')');
    return !(close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] == 'Z');
}

bool wait_until_dead(pid_t pid, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    while (seconds_since(start) < seconds) {
        if (!pid_alive(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !pid_alive(pid);
}

class PhaseExec : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kPython, X_OK) != 0) GTEST_SKIP() << "no " << kPython;
    }

    // A request with a fresh scratch directory (the phase files are created
    // exclusively, so every call needs its own).
    PhaseRequest request(std::vector<std::string> argv) {
        scratch_ = root_ / ("s" + std::to_string(++counter_));
        mkdir(scratch_.c_str(), 0755);
        PhaseRequest r;
        r.phase = "run";
        r.argv = std::move(argv);
        r.scratch_dir = scratch_;
        r.cwd = root_.path();
        r.python_path = root_.path();
        r.extra_env = {{"NODE_OPTIONS", "--require=/shim.js"}, {"TESSIMAR_WORKDIR_ROOT", root_.path()}};
        return r;
    }
    PhaseRequest python(const std::string& code) { return request({kPython, "-c", code}); }
    PhaseRequest shell(const std::string& code) { return request({kBash, "-c", code}); }

    // Raw bytes of a phase file of the last request.
    std::string phase_file(const std::string& name) const { return read_file(scratch_ + "/" + name); }

    // The child's resource limits as (soft, hard), printed by python.
    std::map<std::string, std::pair<long long, long long>> child_limits(PhaseRequest r, PhaseOutcome* out = nullptr) {
        r.argv = {kPython, "-c",
                  "import resource as r\n"
                  "for n in ('CPU','AS','FSIZE','NOFILE','NPROC','CORE'):\n"
                  "    s, h = r.getrlimit(getattr(r, 'RLIMIT_' + n))\n"
                  "    print(n, s, h)\n"};
        PhaseOutcome o = tessimar::run_phase(r);
        EXPECT_EQ(o.exit_code, 0) << o.stderr_text;
        std::map<std::string, std::pair<long long, long long>> limits;
        std::istringstream in(o.stdout_text);
        std::string name;
        long long soft, hard;
        while (in >> name >> soft >> hard) limits[name] = {soft, hard};
        if (out) *out = std::move(o);
        return limits;
    }

    TempDir root_;
    std::string scratch_;
    int counter_ = 0;
};

// ---------------------------------------------------------------- environment

TEST_F(PhaseExec, ChildSeesOnlyTheBuiltEnvironment) {
    ScopedEnv env;
    clear_child_inputs(env);
    env.set("PATH", "/runner/bin:/usr/bin:/bin");
    env.set("TESSIMAR_RUNTIME_PATH", "/runtime/bin:/usr/bin:/bin");
    env.set("HOME", "/home/someone");
    env.set("LANG", "C.UTF-8");
    env.set("TMPDIR", "/var/tmp");
    env.set("GOPATH", "/go");
    env.set("PYTHONUNBUFFERED", "0");
    env.set("LC_ALL", "\xff\xfe");  // not UTF-8: left out
    env.set("FOO", "1");            // not on the pass-through list

    PhaseRequest r = request({"/usr/bin/env"});
    r.python_path = "/py/path";
    r.extra_env = {{"NODE_OPTIONS", "--require=/s/shim.js"},
                   {"TESSIMAR_WORKDIR_ROOT", "/w"},
                   {"HOME", "/replaced"}};
    const PhaseOutcome o = tessimar::run_phase(r);
    ASSERT_EQ(o.exit_code, 0) << o.stderr_text;
    EXPECT_EQ(phase_file("run.out"), join_lines({
                                         "GOPATH=/go",
                                         "HOME=/replaced",
                                         "LANG=C.UTF-8",
                                         "NODE_OPTIONS=--require=/s/shim.js",
                                         "PATH=/runtime/bin:/usr/bin:/bin",
                                         "PYTHONPATH=/py/path",
                                         "PYTHONUNBUFFERED=1",
                                         "TESSIMAR_WORKDIR_ROOT=/w",
                                         "TMPDIR=/var/tmp",
                                     }));
}

TEST_F(PhaseExec, SearchPathRuleAndEmptyValues) {
    ScopedEnv env;
    clear_child_inputs(env);

    struct Case {
        std::optional<std::string> runtime_path, path;
        std::string expected;
    };
    const Case cases[] = {
        {std::string(""), std::string("/runner/bin:/usr/bin:/bin"), "/runner/bin:/usr/bin:/bin"},
        {std::nullopt, std::string("/only/runner:/usr/bin"), "/only/runner:/usr/bin"},
        {std::nullopt, std::nullopt, "/usr/local/bin:/usr/bin:/bin"},
        {std::string(""), std::string(""), "/usr/local/bin:/usr/bin:/bin"},
    };
    for (const Case& c : cases) {
        if (c.runtime_path) env.set("TESSIMAR_RUNTIME_PATH", *c.runtime_path);
        else env.unset("TESSIMAR_RUNTIME_PATH");
        if (c.path) env.set("PATH", *c.path);
        else env.unset("PATH");
        env.set("HOME", "");  // set and empty: passed as such

        PhaseRequest r = request({"/usr/bin/env"});
        r.python_path = "/p" "\xff" "/q";  // bytes, not text
        r.extra_env = {};
        const PhaseOutcome o = tessimar::run_phase(r);
        ASSERT_EQ(o.exit_code, 0) << o.stderr_text;
        EXPECT_EQ(phase_file("run.out"), join_lines({
                                             "HOME=",
                                             "PATH=" + c.expected,
                                             "PYTHONPATH=/p" "\xff" "/q",
                                             "PYTHONUNBUFFERED=1",
                                         }))
            << "expected PATH " << c.expected;
    }
}

TEST_F(PhaseExec, ProgramIsSearchedInTheChildsPath) {
    TempDir bin;
    write_file(bin / "only-here", "#!/bin/sh\necho found \"$1\"\n", 0755);
    ScopedEnv env;
    env.set("TESSIMAR_RUNTIME_PATH", "/nonexistent:" + bin.path() + ":/usr/bin:/bin");
    const PhaseOutcome o = tessimar::run_phase(request({"only-here", "arg"}));
    EXPECT_EQ(o.exit_code, 0) << o.stderr_text;
    EXPECT_EQ(o.stdout_text, "found arg\n");
    EXPECT_FALSE(o.spawn_error.has_value());
}

TEST_F(PhaseExec, NoNetDoesNotPreloadWithoutALibraryBesideTheExecutable) {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string dir(exe, static_cast<std::size_t>(n));
    dir.resize(dir.rfind('/'));
    if (exists(dir + "/blocknet.so")) GTEST_SKIP() << "a blocknet.so lies beside the test binary";
    if (!tessimar::seccomp_available()) GTEST_SKIP() << "no seccomp: a note would be expected instead";

    ScopedEnv env;
    env.unset("LD_PRELOAD");
    PhaseRequest r = python("import os; print(os.environ.get('LD_PRELOAD'))");
    r.limits.no_net = true;
    const PhaseOutcome o = tessimar::run_phase(r);
    EXPECT_EQ(o.stdout_text, "None\n") << o.stderr_text;
    for (const char* note : o.unenforced) EXPECT_NE(std::string(note).rfind("no_net", 0), 0u) << note;
}

// -------------------------------------------------------------------- limits

TEST_F(PhaseExec, DefaultLimitsSoftEqualsHard) {
    ScopedEnv env;
    env.unset("TESSIMAR_MAX_PROCESSES");
    env.unset("TESSIMAR_PROCESS_HEADROOM");
    PhaseOutcome o;
    auto l = child_limits(request({}), &o);
    ASSERT_EQ(l.size(), 6u) << o.stdout_text << o.stderr_text;
    for (const auto& [name, sh] : l) EXPECT_EQ(sh.first, sh.second) << name;
    EXPECT_EQ(l["CPU"].first, 18);  // timeout 10 + 8
    EXPECT_EQ(l["AS"].first, 2199023255552LL);
    EXPECT_EQ(l["FSIZE"].first, 268435456);
    EXPECT_EQ(l["NOFILE"].first, 256);
    EXPECT_EQ(l["CORE"].first, 0);
    EXPECT_GT(l["NPROC"].first, 0);
    if (geteuid() == 0) {
        EXPECT_GE(l["NPROC"].first, 512);  // at least the headroom
    }

    if (all_hard_limits_unlimited()) {
        std::vector<std::string> notes(o.unenforced.begin(), o.unenforced.end());
        if (geteuid() == 0) {
            EXPECT_EQ(notes, std::vector<std::string>{"process_limit_not_enforced_for_uid_0"});
        } else {
            EXPECT_TRUE(notes.empty());
        }
    }
}

TEST_F(PhaseExec, LimitsFollowTheRequest) {
    ScopedEnv env;
    env.set("TESSIMAR_MAX_PROCESSES", "77");

    PhaseRequest r = request({});
    r.limits.timeout_secs = 3;
    r.limits.max_cpu_secs = 0;
    r.limits.max_memory_mb = 256;
    r.limits.max_output_kb = 1;
    auto l = child_limits(r);
    EXPECT_EQ(l["CPU"], std::make_pair(11LL, 11LL));
    EXPECT_EQ(l["AS"], std::make_pair(268435456LL, 268435456LL));
    EXPECT_EQ(l["FSIZE"], std::make_pair(4096LL, 4096LL));
    EXPECT_EQ(l["NPROC"], std::make_pair(77LL, 77LL));

    r = request({});
    r.limits.max_cpu_secs = 3;
    r.limits.max_output_kb = 100000;
    l = child_limits(r);
    EXPECT_EQ(l["CPU"], std::make_pair(3LL, 3LL));
    EXPECT_EQ(l["FSIZE"], std::make_pair(268435456LL, 268435456LL));

    r = request({});
    r.limits.max_output_kb = 20;
    l = child_limits(r);
    EXPECT_EQ(l["FSIZE"].first, 20 * 4096);

    // A compiler's products are not output: the compile phase keeps 256 MiB.
    r = request({});
    r.phase = "compile";
    r.limits.max_output_kb = 1;
    l = child_limits(r);
    EXPECT_EQ(l["FSIZE"], std::make_pair(268435456LL, 268435456LL));
    EXPECT_TRUE(exists(scratch_ + "/compile.out"));
    EXPECT_FALSE(exists(scratch_ + "/run.out"));
}

TEST_F(PhaseExec, FileSizeLimitStopsAWriterPastIt) {
    PhaseRequest r = request({"/usr/bin/head", "-c", "10000", "/dev/zero"});
    r.limits.max_output_kb = 1;  // file size limit 4096 bytes
    const PhaseOutcome o = tessimar::run_phase(r);
    EXPECT_TRUE(o.signaled);
    EXPECT_EQ(o.signal, SIGXFSZ);
    EXPECT_EQ(o.stdout_bytes, 4096u);
    EXPECT_TRUE(o.output_truncated);
}

// ---------------------------------------------------------- ends of a child

TEST_F(PhaseExec, ExitStatusAndSignals) {
    PhaseOutcome o = tessimar::run_phase(shell("exit 3"));
    EXPECT_EQ(o.exit_code, 3);
    EXPECT_FALSE(o.signaled);
    EXPECT_EQ(o.signal, 0);
    EXPECT_FALSE(o.timed_out);
    EXPECT_FALSE(o.spawn_error);

    o = tessimar::run_phase(shell("kill -SEGV $$"));
    EXPECT_TRUE(o.signaled);
    EXPECT_EQ(o.signal, SIGSEGV);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_FALSE(o.timed_out);

    o = tessimar::run_phase(shell("kill -9 $$"));
    EXPECT_TRUE(o.signaled);
    EXPECT_EQ(o.signal, SIGKILL);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_FALSE(o.timed_out);

    o = tessimar::run_phase(shell("printf out; printf err >&2"));
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.stdout_text, "out");
    EXPECT_EQ(o.stderr_text, "err");
    EXPECT_EQ(o.stdout_bytes, 3u);
    EXPECT_EQ(o.stderr_bytes, 3u);
    EXPECT_FALSE(o.output_error);
    EXPECT_FALSE(o.output_truncated);
}

TEST_F(PhaseExec, WallClockTimeoutKillsTheChild) {
    PhaseRequest r = request({"/bin/sleep", "30"});
    r.limits.timeout_secs = 1;
    auto start = std::chrono::steady_clock::now();
    PhaseOutcome o = tessimar::run_phase(r);
    double took = seconds_since(start);
    EXPECT_TRUE(o.timed_out);
    EXPECT_TRUE(o.signaled);
    EXPECT_EQ(o.signal, SIGKILL);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.stderr_text, kTimeoutText);
    EXPECT_EQ(o.stderr_bytes, 0u);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 8.0);

    // Whatever the child wrote to standard error is kept.
    r = shell("echo partial; echo oops >&2; exec sleep 30");
    r.limits.timeout_secs = 1;
    o = tessimar::run_phase(r);
    EXPECT_TRUE(o.timed_out);
    EXPECT_EQ(o.stdout_text, "partial\n");
    EXPECT_EQ(o.stderr_text, "oops\n");

    // Timeout 0: killed at the first poll.
    r = request({"/bin/sleep", "30"});
    r.limits.timeout_secs = 0;
    start = std::chrono::steady_clock::now();
    o = tessimar::run_phase(r);
    took = seconds_since(start);
    EXPECT_TRUE(o.timed_out);
    EXPECT_TRUE(o.signaled);
    EXPECT_EQ(o.signal, SIGKILL);
    EXPECT_EQ(o.stderr_text, kTimeoutText);
    EXPECT_LT(took, 5.0);
}

TEST_F(PhaseExec, TimeoutKillsTheWholeGroup) {
    PhaseRequest r = shell("sleep 300 & echo $!; exec sleep 30");
    r.limits.timeout_secs = 1;
    const PhaseOutcome o = tessimar::run_phase(r);
    ASSERT_TRUE(o.timed_out);
    const pid_t bg = static_cast<pid_t>(std::stol(o.stdout_text));
    EXPECT_TRUE(wait_until_dead(bg, 3.0)) << "background pid " << bg;
}

TEST_F(PhaseExec, LeftoverProcessesInTheGroupAreKilledAfterExit) {
    const PhaseOutcome o = tessimar::run_phase(shell("sleep 300 & echo $!"));
    EXPECT_EQ(o.exit_code, 0) << o.stderr_text;
    EXPECT_FALSE(o.timed_out);
    ASSERT_FALSE(o.stdout_text.empty());
    const pid_t bg = static_cast<pid_t>(std::stol(o.stdout_text));
    EXPECT_TRUE(wait_until_dead(bg, 3.0)) << "background pid " << bg;
}

TEST_F(PhaseExec, DescendantInAnotherSessionIsKilledToo) {
    if (access("/usr/bin/setsid", X_OK) != 0) GTEST_SKIP() << "no setsid";
    // The shell waits until the descendant has its own session (its session
    // id is then its pid), so the group kill alone cannot reach it.
    const PhaseOutcome o = tessimar::run_phase(shell(
        "/usr/bin/setsid /bin/sleep 300 & p=$!\n"
        "for i in $(seq 1 1000); do [ \"$(awk '{print $6}' /proc/$p/stat)\" = \"$p\" ] && break; sleep 0.01; done\n"
        "echo $p"));
    ASSERT_EQ(o.exit_code, 0) << o.stderr_text;
    const pid_t escaped = static_cast<pid_t>(std::stol(o.stdout_text));
    EXPECT_FALSE(pid_alive(escaped)) << "the escapee outlived the phase";
}

// ------------------------------------------------------------ start failures

TEST_F(PhaseExec, StartFailures) {
    ScopedEnv env;
    env.unset("TESSIMAR_RUNTIME_PATH");
    env.set("PATH", "/usr/bin:/bin");

    auto expect_start_failure = [&](const PhaseOutcome& o, const std::string& message) {
        EXPECT_EQ(o.stderr_text, message);
        ASSERT_TRUE(o.spawn_error.has_value());
        EXPECT_EQ(*o.spawn_error, message);
        EXPECT_EQ(o.exit_code, -2);
        EXPECT_TRUE(o.unenforced.empty());
        EXPECT_EQ(o.stdout_text, "");
        EXPECT_FALSE(o.stdout_bytes);
        EXPECT_FALSE(o.stderr_bytes);
        EXPECT_FALSE(o.output_error);
        EXPECT_FALSE(o.signaled);
        EXPECT_FALSE(o.timed_out);
        EXPECT_EQ(o.cpu_ms, 0u);
        EXPECT_EQ(o.peak_memory_kb, 0u);
    };

    expect_start_failure(tessimar::run_phase(request({"nosuchprog", "x"})),
                         "runtime unavailable for the run phase: nosuchprog not found "
                         "(No such file or directory (os error 2))");

    PhaseRequest r = request({"nosuchcompiler"});
    r.phase = "compile";
    expect_start_failure(tessimar::run_phase(r),
                         "runtime unavailable for the compile phase: nosuchcompiler not found "
                         "(No such file or directory (os error 2))");

    TempDir dir;
    expect_start_failure(tessimar::run_phase(request({dir.path()})),
                         "runtime unavailable for the run phase: " + dir.path() +
                             " not found (Permission denied (os error 13))");

    r = request({"/bin/true"});
    r.cwd = root_ / "missing";
    expect_start_failure(tessimar::run_phase(r),
                         "runtime unavailable for the run phase: /bin/true not found "
                         "(No such file or directory (os error 2))");

    r = request({"/bin/echo", std::string("a\0b", 3)});
    expect_start_failure(tessimar::run_phase(r),
                         "runtime unavailable for the run phase: /bin/echo not found "
                         "(nul byte found in provided data)");
}

TEST_F(PhaseExec, ExistingOutputFileIsAnIoFailure) {
    PhaseRequest r = shell("touch " + (root_ / "started"));
    write_file(scratch_ + "/run.out", "keep me");
    const PhaseOutcome o = tessimar::run_phase(r);
    EXPECT_EQ(o.stderr_text, "cannot create I/O files in " + scratch_);
    EXPECT_EQ(o.exit_code, -2);
    EXPECT_FALSE(o.spawn_error);
    EXPECT_FALSE(o.stdout_bytes);
    EXPECT_FALSE(o.stderr_bytes);
    EXPECT_FALSE(o.output_error);
    EXPECT_TRUE(o.unenforced.empty());
    EXPECT_EQ(o.stdout_text, "");
    EXPECT_FALSE(o.signaled);
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(phase_file("run.out"), "keep me");
    EXPECT_FALSE(exists(root_ / "started"));
}

TEST_F(PhaseExec, FifoAsInputFileFailsWithoutHanging) {
    PhaseRequest r = shell("touch " + (root_ / "started"));
    ASSERT_EQ(mkfifo((scratch_ + "/run.in").c_str(), 0644), 0);

    // In a forked copy of this process, so that a hang ends as a failure.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        const PhaseOutcome o = tessimar::run_phase(r);
        const std::string msg = std::to_string(o.exit_code) + "|" + (o.spawn_error ? "spawn" : "") + "|" + o.stderr_text;
        (void)!write(fds[1], msg.data(), msg.size());
        _exit(0);
    }
    close(fds[1]);
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    bool done = false;
    while (seconds_since(start) < 15) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            done = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!done) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    ASSERT_TRUE(done) << "run_phase hung on a FIFO";
    const std::string msg(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(msg, "-2||cannot create I/O files in " + scratch_);
    EXPECT_FALSE(exists(root_ / "started"));
}

// -------------------------------------------------------------- input, fds

TEST_F(PhaseExec, StandardInput) {
    PhaseOutcome o = tessimar::run_phase(python("import sys; print(len(sys.stdin.buffer.read()))"));
    EXPECT_EQ(o.stdout_text, "0\n") << o.stderr_text;
    EXPECT_EQ(phase_file("run.in"), "");

    static const char raw[] = "line one\n\0\xff\xfe tail";
    const std::string bytes(raw, sizeof raw - 1);
    PhaseRequest r = request({"/bin/cat"});
    r.stdin_bytes = bytes;
    o = tessimar::run_phase(r);
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(phase_file("run.out"), bytes);
    EXPECT_EQ(o.stdout_bytes, bytes.size());
}

TEST_F(PhaseExec, ChildGetsOnlyTheThreeStandardDescriptors) {
    write_file(root_ / "secret", "top secret");
    const int secret = open((root_ / "secret").c_str(), O_RDONLY);  // inheritable on purpose
    ASSERT_GE(secret, 0);
    int p[2];
    ASSERT_EQ(pipe(p), 0);  // inheritable on purpose

    const PhaseOutcome o = tessimar::run_phase(python(
        "import os\n"
        "fds = []\n"
        "for fd in range(1024):\n"
        "    try:\n"
        "        os.fstat(fd); fds.append(fd)\n"
        "    except OSError:\n"
        "        pass\n"
        "print(fds)\n"
        "for fd in (0, 1, 2): print(os.path.basename(os.readlink('/proc/self/fd/%d' % fd)))\n"
        "print(os.getcwd())\n"));
    close(secret);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(o.stdout_text, "[0, 1, 2]\nrun.in\nrun.out\nrun.err\n" + root_.path() + "\n") << o.stderr_text;
}

// ------------------------------------------------------------------- network

TEST_F(PhaseExec, KernelNetworkFilter) {
    if (!tessimar::seccomp_available()) GTEST_SKIP() << "no seccomp";
    const std::string probe =
        std::string(kSocketProbePy) +
        "import ctypes\n"
        "libc = ctypes.CDLL(None, use_errno=True)\n"
        "r = libc.syscall(425, 1, None)\n"
        "print('uring', r, ctypes.get_errno())\n";
    PhaseRequest r = python(probe);
    const PhaseOutcome plain = tessimar::run_phase(r);
    EXPECT_EQ(lines_of(plain.stdout_text).at(0), "inet ok") << plain.stderr_text;

    r = python(probe);
    r.limits.no_net = true;
    const PhaseOutcome o = tessimar::run_phase(r);
    EXPECT_EQ(o.exit_code, 0) << o.stderr_text;
    EXPECT_EQ(o.stdout_text, "inet 13\ninet6 13\nunix ok\npair ok\nuring -1 38\n") << o.stderr_text;
    // With the kernel filter in force no network note is added.
    EXPECT_EQ(std::vector<std::string>(o.unenforced.begin(), o.unenforced.end()),
              std::vector<std::string>(plain.unenforced.begin(), plain.unenforced.end()));
}

// -------------------------------------------------------------- output caps

TEST_F(PhaseExec, OutputCapAtTheLimitAndOneByteOver) {
    const auto writer = [&](const std::string& stream, const std::string& bytes_expr, std::uint64_t kb) {
        PhaseRequest r = python("import sys; sys." + stream + ".buffer.write(" + bytes_expr + ")");
        r.limits.max_output_kb = kb;
        return tessimar::run_phase(r);
    };
    const std::string marker = "\n...[truncated]";

    PhaseOutcome o = writer("stdout", "b'a' * 1024", 1);
    EXPECT_EQ(o.stdout_text, std::string(1024, 'a'));
    EXPECT_FALSE(o.output_truncated);
    EXPECT_EQ(o.stdout_bytes, 1024u);

    o = writer("stdout", "b'a' * 1025", 1);
    EXPECT_EQ(o.stdout_text, std::string(1024, 'a') + marker);
    EXPECT_TRUE(o.output_truncated);
    EXPECT_EQ(o.stdout_bytes, 1025u);
    EXPECT_EQ(o.exit_code, 0);

    o = writer("stderr", "b'e' * 1025", 1);
    EXPECT_EQ(o.stderr_text, std::string(1024, 'e') + marker);
    EXPECT_EQ(o.stdout_text, "");
    EXPECT_TRUE(o.output_truncated);
    EXPECT_EQ(o.stderr_bytes, 1025u);

    // The default cap is 64 KiB.
    o = writer("stdout", "b'x' * 65536", 0);
    EXPECT_FALSE(o.output_truncated);
    EXPECT_EQ(o.stdout_text.size(), 65536u);
    o = writer("stdout", "b'x' * 65537", 0);
    EXPECT_TRUE(o.output_truncated);
    EXPECT_EQ(o.stdout_text, std::string(65536, 'x') + marker);
    EXPECT_EQ(o.stdout_bytes, 65537u);

    // A two-byte character straddling the limit decodes to U+FFFD.
    o = writer("stdout", "b'a' * 1023 + 'é'.encode() + b'zz'", 1);
    EXPECT_EQ(o.stdout_text, std::string(1023, 'a') + "\xEF\xBF\xBD" + marker);
    EXPECT_EQ(o.stdout_bytes, 1027u);
}

TEST_F(PhaseExec, NonUtf8OutputIsReplaced) {
    const PhaseOutcome o =
        tessimar::run_phase(python("import sys; sys.stdout.buffer.write(b'\\xff\\xfeok\\xc3')"));
    EXPECT_EQ(o.stdout_text, "\xEF\xBF\xBD\xEF\xBF\xBDok\xEF\xBF\xBD");
    EXPECT_EQ(o.stdout_bytes, 5u);
    EXPECT_EQ(phase_file("run.out"), "\xff\xfeok\xc3");
}

}  // namespace
