// Programs that multiply, hoard memory, hide in the background, stop
// themselves or shrug off signals, and the runner itself signalled in the
// middle of either phase.
#include <dirent.h>
#include <sys/xattr.h>

#include <cstdio>
#include <set>

#include "attack_support.hpp"

using namespace attack;
using testing_support::open_up;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

std::vector<std::string> notes(const json& j) {
    std::vector<std::string> out;
    if (j.contains("unenforced"))
        for (const auto& n : j.at("unenforced")) out.push_back(n.get<std::string>());
    return out;
}

class OrdinaryUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to uid 65534";
        if (!have("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
        open_up(tmp.path());
    }
    Invocation nobody(const std::string& lang, const std::string& program, std::vector<std::string> extra) {
        Invocation inv = run_of(lang, program, tmp.path(), std::move(extra));
        inv.set["TESSIMAR_MAX_PROCESSES"] = "64";
        inv.wrapper = kAsNobody;
        return inv;
    }
    TempDir tmp;
};

// ------------------------------------------------------------ multiplying

TEST_F(OrdinaryUser, ForkBombIsContainedAndLeavesNoProcess) {
    // Every bomb process runs the script inside the created work directory,
    // so the base directory's path is in each command line.
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = run_exec(nobody("bash", ":(){ :|:& };:\nwhile :; do wait; sleep 0.1; done\n", {"--timeout", "3"}));
    EXPECT_LT(seconds_since(start), 60.0);
    const json j = checked_report(r);
    EXPECT_EQ(j.value("phase", ""), "run");
    EXPECT_EQ(j.value("verdict", ""), "TLE") << head(r.out);
    for (const auto& n : notes(j)) EXPECT_NE(n, "process_limit_not_enforced_for_uid_0");
    EXPECT_TRUE(gone_within(tmp.path())) << "bomb processes survived the run";
    expect_empty_dir(tmp.path());
}

TEST_F(OrdinaryUser, ForkingLoopHitsTheProcessLimit) {
    const std::string tok = sleep_token();
    const std::string program =
        "import os, time, subprocess\n"
        "n = 0\n"
        "try:\n"
        "    while n < 1000:\n"
        "        pid = os.fork()\n"
        "        if pid == 0:\n"
        "            os.execvp('sleep', ['sleep', '" + tok + "'])\n"
        "        n += 1\n"
        "except OSError as e:\n"
        "    print('refused after', n, e.errno)\n";
    const ProcessResult r = run_exec(nobody("python3", program, {"--timeout", "5"}));
    const json j = checked_report(r);
    const std::string out = j.value("stdout", "");
    EXPECT_EQ(out.rfind("refused after ", 0), 0u) << head(r.out);
    const int n = std::atoi(out.c_str() + std::strlen("refused after "));
    EXPECT_LT(n, 64) << "more children than the process limit allows";
    EXPECT_NE(out.find(" 11\n"), std::string::npos) << "fork should fail with EAGAIN: " << out;
    EXPECT_EQ(j.value("verdict", ""), "OK");
    EXPECT_TRUE(gone_within(tok)) << "forked sleepers survived";
    expect_empty_dir(tmp.path());
}

TEST_F(OrdinaryUser, ThreadBombHitsTheProcessLimit) {
    const std::string program =
        "import threading, time\n"
        "ts = []\n"
        "try:\n"
        "    while len(ts) < 1000:\n"
        "        t = threading.Thread(target=time.sleep, args=(300,), daemon=True)\n"
        "        t.start()\n"
        "        ts.append(t)\n"
        "except RuntimeError:\n"
        "    print('threads', len(ts))\n";
    const ProcessResult r = run_exec(nobody("python3", program, {"--timeout", "5"}));
    const json j = checked_report(r);
    const std::string out = j.value("stdout", "");
    ASSERT_EQ(out.rfind("threads ", 0), 0u) << head(r.out);
    EXPECT_LT(std::atoi(out.c_str() + 8), 64);
    EXPECT_EQ(j.value("verdict", ""), "OK");
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

// ------------------------------------------------------------------ memory

TEST(MemoryBomb, PythonAllocatingInALoopGetsMemoryError) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    TempDir tmp;
    const ProcessResult r = run_exec(run_of("python3", "a = []\nwhile True:\n    a.append(bytearray(1 << 20))\n",
                                            tmp.path(), {"--max-memory-mb", "64", "--timeout", "5"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("verdict", ""), "RTE") << head(r.out);
    EXPECT_EQ(j.value("exit_code", 0), 1);
    EXPECT_NE(j.value("stderr", "").find("MemoryError"), std::string::npos);
    EXPECT_LE(j.value("peak_memory_kb", 0ULL), 64ULL * 1024) << "resident memory above the address-space limit";
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

TEST(MemoryBomb, CProgramTouchingMemoryUntilItCrashesIsMle) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir tmp;
    const std::string program =
        "#include <stdlib.h>\n#include <string.h>\n"
        "int main(void) { for (;;) { char *p = malloc(1 << 20); memset(p, 1, 1 << 20); } }\n";
    const ProcessResult r = run_exec(run_of("c", program, tmp.path(), {"--max-memory-mb", "64", "--timeout", "5"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("phase", ""), "run") << head(r.out);
    EXPECT_EQ(j.value("verdict", ""), "MLE") << head(r.out);
    EXPECT_TRUE(j.value("exit_code", 0) < 0);
    EXPECT_LE(j.value("peak_memory_kb", 0ULL), 64ULL * 1024);
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

// ------------------------------------------------- hiding, stopping, ignoring

struct Leftover {
    const char* name;
    const char* program;  // "TOK" stands for the sleep token
};
void PrintTo(const Leftover& v, std::ostream* os) { *os << v.name; }

class LeftBehind : public ::testing::TestWithParam<Leftover> {};

TEST_P(LeftBehind, ProcessesLeftInTheGroupAreKilled) {
    TempDir tmp;
    const std::string tok = sleep_token();
    std::string program = GetParam().program;
    for (std::size_t at; (at = program.find("TOK")) != std::string::npos;) program.replace(at, 3, tok);
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = run_exec(run_of("bash", program, tmp.path(), {"--timeout", "4"}));
    EXPECT_LT(seconds_since(start), 30.0);
    const json j = checked_report(r);
    EXPECT_EQ(j.value("verdict", ""), "OK") << head(r.out);
    EXPECT_EQ(j.value("exit_code", 1), 0);
    EXPECT_FALSE(j.value("timed_out", true)) << "the runner waited for the leftovers";
    EXPECT_TRUE(gone_within(tok)) << "a process of the run survived it";
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, LeftBehind,
    ::testing::Values(Leftover{"Background", "sleep TOK &\nexit 0\n"},
                      Leftover{"DoubleFork", "(sleep TOK &) ; exit 0\n"},
                      Leftover{"NohupDisown", "nohup sleep TOK >/dev/null 2>&1 &\ndisown\nexit 0\n"},
                      Leftover{"IgnoresHangupAndTerm", "(trap '' HUP TERM INT; exec sleep TOK) &\nexit 0\n"},
                      Leftover{"StoppedOrphan", "(sleep TOK & kill -STOP $!) ; exit 0\n"},
                      Leftover{"DeepChain", "bash -c 'bash -c \"(sleep TOK &)\" &' ; exit 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ----------------------------------------- escaping the group or the session

struct Escape {
    const char* name;
    const char* program;  // shell text; "TOK" stands for the sleep token
};
void PrintTo(const Escape& v, std::ostream* os) { *os << v.name; }

// (what escapes, in the compile phase, as an ordinary user)
class Escaped : public ::testing::TestWithParam<std::tuple<Escape, bool, bool>> {};

TEST_P(Escaped, NothingOutlivesThePhase) {
    const auto& [escape, compile, as_nobody] = GetParam();
    if (as_nobody && (geteuid() != 0 || !have("/usr/bin/setpriv"))) GTEST_SKIP() << "needs root and setpriv";
    if (!have("/usr/bin/setsid")) GTEST_SKIP() << "no setsid";
    TempDir tmp, fake;
    open_up(tmp.path());
    open_up(fake.path());
    const std::string tok = sleep_token();
    std::string program = escape.program;
    for (std::size_t at; (at = program.find("TOK")) != std::string::npos;) program.replace(at, 3, tok);
    const std::string w = tmp / "w";
    ASSERT_EQ(mkdir(w.c_str(), 0777), 0);
    chmod(w.c_str(), 0777);

    Invocation inv;
    if (compile) {
        // A "compiler" that leaves the escapee behind and fails.
        write_file(fake / "gcc", "#!/bin/bash\n" + program + "exit 1\n", 0755);
        inv = run_of("c", "int main(void) { return 0; }\n", tmp.path(), {"--workdir", w, "--timeout", "10"});
        inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    } else {
        inv = run_of("bash", program, tmp.path(), {"--workdir", w, "--timeout", "10"});
    }
    if (as_nobody) {
        inv.set["TESSIMAR_MAX_PROCESSES"] = "256";
        inv.wrapper = kAsNobody;
    }
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r);
    EXPECT_EQ(j.value("phase", ""), compile ? "compile" : "run") << head(r.out);
    EXPECT_FALSE(j.value("timed_out", true)) << head(r.out);

    // Gone when the runner returns: the sleep would otherwise last minutes,
    // and the writer would still be appending to the phase's output.
    EXPECT_FALSE(testing_support::process_with_token_alive(tok)) << "an escapee outlived the run";
    const std::string out = w + "/.tessimar-run/" + (compile ? "compile" : "run") + ".out";
    const std::string before = testing_support::read_file(out);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(testing_support::read_file(out), before) << "something still writes the captured output";
    EXPECT_TRUE(gone_within(tok));
}

INSTANTIATE_TEST_SUITE_P(
    Attack, Escaped,
    ::testing::Combine(
        ::testing::Values(Escape{"SetsidSleeper", "setsid sleep TOK &\nsleep 0.1\n"},
                          Escape{"SetsidWriter",
                                 "setsid bash -c 'while :; do echo TOK; sleep 0.005; done' &\nsleep 0.2\n"},
                          Escape{"DoubleForkedDaemon", "( setsid bash -c 'sleep TOK & exit 0' & )\nsleep 0.1\n"},
                          Escape{"NewGroup", "perl -e 'setpgrp(0, 0); exec(\"sleep\", \"TOK\")' &\nsleep 0.1\n"}),
        ::testing::Bool(), ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "InCompile" : "InRun") +
               (std::get<2>(info.param) ? "AsNobody" : "AsRoot");
    });

// ------------------------------------------------- the wait without a pidfd

// Kernels or container profiles that refuse pidfd_open (and signalfd): the
// wait falls back, and ends, times out and measures the same.
class WaitFallback : public ::testing::TestWithParam<const char*> {};

TEST_P(WaitFallback, ExitAndTimeoutAreSeen) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "python3 is needed for the seccomp wrapper";
    TempDir tmp;
    const std::vector<std::string> wrapper = {"/usr/bin/python3", TESSIMAR_TEST_SUPPORT_DIR "/deny_syscalls.py",
                                              "38", GetParam(), "--"};
    {
        Invocation inv = run_of("bash", "echo out; exit 3\n", tmp.path());
        inv.wrapper = wrapper;
        const json j = checked_report(run_exec(inv));
        EXPECT_EQ(j.value("exit_code", 0), 3);
        EXPECT_EQ(j.value("stdout", ""), "out\n");
        EXPECT_EQ(j.value("verdict", ""), "RTE");
    }
    {
        Invocation inv = run_of("bash", "exec sleep 30\n", tmp.path(), {"--timeout", "1"});
        inv.wrapper = wrapper;
        const auto start = std::chrono::steady_clock::now();
        const json j = checked_report(run_exec(inv));
        EXPECT_LT(seconds_since(start), 20.0);
        EXPECT_EQ(j.value("verdict", ""), "TLE");
        EXPECT_EQ(j.value("exit_code", 0), -9);
        EXPECT_GE(j.value("duration_ms", 0ULL), 1000u);
    }
}

// pidfd_open refused; then signalfd and signalfd4 as well.
INSTANTIATE_TEST_SUITE_P(Attack, WaitFallback, ::testing::Values("434", "434,282,289"),
                         [](const auto& info) {
                             return std::string(std::strchr(info.param, ',') ? "NoPidfdNoSignalfd" : "NoPidfd");
                         });

struct Stubborn {
    const char* name;
    const char* lang;
    const char* program;
};
void PrintTo(const Stubborn& v, std::ostream* os) { *os << v.name; }

class KilledAtTimeout : public ::testing::TestWithParam<Stubborn> {};

TEST_P(KilledAtTimeout, TimeoutEndsIt) {
    TempDir tmp;
    const std::string tok = sleep_token();
    std::string program = GetParam().program;
    for (std::size_t at; (at = program.find("TOK")) != std::string::npos;) program.replace(at, 3, tok);
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = run_exec(run_of(GetParam().lang, program, tmp.path(), {"--timeout", "2"}));
    const double took = seconds_since(start);
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 30.0);
    const json j = checked_report(r);
    EXPECT_EQ(j.value("verdict", ""), "TLE") << head(r.out);
    EXPECT_TRUE(j.value("timed_out", false));
    EXPECT_EQ(j.value("exit_code", 0), -9);
    EXPECT_TRUE(gone_within(tok)) << "the stubborn process survived";
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, KilledAtTimeout,
    ::testing::Values(
        Stubborn{"StopsItself", "bash", "sleep TOK &\nkill -STOP $$\necho never\n"},
        Stubborn{"IgnoresEveryCatchableSignal", "bash",
                 "trap '' HUP INT QUIT ILL TRAP ABRT BUS FPE USR1 SEGV USR2 PIPE ALRM TERM STKFLT CHLD CONT TSTP "
                 "TTIN TTOU URG XCPU XFSZ VTALRM PROF WINCH IO PWR SYS\n"
                 "sleep TOK &\nsleep TOK\n"},
        Stubborn{"PythonIgnoresAllSignals", "python3",
                 "import signal, subprocess, time\n"
                 "for s in range(1, signal.NSIG):\n"
                 "    try:\n"
                 "        signal.signal(s, signal.SIG_IGN)\n"
                 "    except (OSError, ValueError):\n"
                 "        pass\n"
                 "subprocess.Popen(['sleep', 'TOK'])\n"
                 "while True:\n"
                 "    time.sleep(0.05)\n"},
        Stubborn{"BusyLoop", "bash", "sleep TOK &\nwhile :; do :; done\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------ the runner itself signalled

struct Spawned {
    pid_t pid = -1;
    int out_fd = -1;
};

Spawned spawn_runner(const std::vector<std::string>& args, const std::string& input,
                     const std::map<std::string, std::string>& env) {
    std::vector<std::string> argv = {testing_support::kExec};
    argv.insert(argv.end(), args.begin(), args.end());
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        for (const char* n : {"TESSIMAR_RUNTIME_PATH", "TESSIMAR_MAX_PROCESSES", "TESSIMAR_PROCESS_HEADROOM"})
            unsetenv(n);
        for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(testing_support::kExec, cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    return {pid, out[0]};
}

struct SignalCase {
    int sig;
    bool compile;
    bool contain = false;  // as root: the run has an id of its own
    bool package = false;  // the cases of a problem package (--problem)
};
void PrintTo(const SignalCase& c, std::ostream* os) {
    *os << "signal " << c.sig << (c.compile ? " during compile" : " during run") << (c.contain ? ", contained" : "")
        << (c.package ? ", judging a package" : "");
}

class RunnerSignalled : public ::testing::TestWithParam<SignalCase> {};

// The runner ends its children (a process that left their group included),
// removes its work directory and exits with 128 + the signal, promptly and
// without a report.
TEST_P(RunnerSignalled, ExitsWithTheSignalStatusAndLeavesNothing) {
    const auto [sig, compile, contain, package] = GetParam();
    if (contain && geteuid() != 0) GTEST_SKIP() << "a run's own id is for a root runner";
    if (!have("/usr/bin/setsid")) GTEST_SKIP() << "no setsid";
    TempDir tmp, fake;
    const std::string tok = sleep_token();
    std::map<std::string, std::string> env = {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}};
    std::vector<std::string> args = {"--timeout", "60"};
    if (contain) {
        open_up(tmp.path());
        env["TESSIMAR_CONTAIN_UIDS"] = "61290-61291";
        args.push_back("--contain");
    }
    if (package) args.insert(args.end(), {"--problem", TESSIMAR_TEST_PACKAGES "/passfail"});
    const std::string body = "setsid sleep " + tok + " &\nsleep " + tok + " &\nsleep " + tok + "\n";
    Spawned s;
    if (compile) {
        // A compiler that never finishes.
        write_file(fake / "gcc", "#!/bin/bash\n" + body, 0755);
        env["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
        args.insert(args.begin(), {"--lang", "c"});
        s = spawn_runner(args, "int main(void){return 0;}\n", env);
    } else {
        args.insert(args.begin(), {"--lang", "bash"});
        s = spawn_runner(args, body, env);
    }
    ASSERT_GT(s.pid, 0);
    ASSERT_TRUE(appears_within(tok, 20)) << "the child never started";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the escapee too, most likely
    ASSERT_EQ(kill(s.pid, sig), 0);
    const auto sent = std::chrono::steady_clock::now();
    int status = 0;
    pid_t w = 0;
    while ((w = waitpid(s.pid, &status, WNOHANG)) == 0 && seconds_since(sent) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (w == 0) {
        kill(s.pid, SIGKILL);
        (void)waitpid(s.pid, &status, 0);
        ADD_FAILURE() << "the runner did not end within 10 s of the signal";
    }
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(s.out_fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    close(s.out_fd);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    // A line of cases stops where it was: its opening is out before any case runs.
    EXPECT_EQ(out, package ? "{\"cases\":[" : "") << "a terminated runner prints no report";
    // Reaped by the runner before it exits: nothing is left to wait for.
    EXPECT_FALSE(testing_support::process_with_token_alive(tok)) << "a process of the run outlived the runner";
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(Attack, RunnerSignalled,
                         ::testing::Values(SignalCase{SIGTERM, true}, SignalCase{SIGINT, true},
                                           SignalCase{SIGHUP, true}, SignalCase{SIGTERM, false},
                                           SignalCase{SIGINT, false}, SignalCase{SIGHUP, false},
                                           SignalCase{SIGTERM, false, true}, SignalCase{SIGINT, true, true},
                                           SignalCase{SIGTERM, false, false, true}),
                         [](const auto& info) {
                             return std::string(sigabbrev_np(info.param.sig)) +
                                    (info.param.compile ? "DuringCompile" : "DuringRun") +
                                    (info.param.contain ? "Contained" : "") +
                                    (info.param.package ? "JudgingAPackage" : "");
                         });

// During an exchange both sides are ended, the interactor with the program.
TEST(RunnerSignalledInExchange, BothSidesEndAndNothingIsLeft) {
    TempDir tmp, dir;
    const std::string tok = sleep_token();
    write_file(dir / "interactor", "#!/bin/bash\nsleep " + tok + " &\nsleep " + tok + "\n", 0755);
    Spawned s = spawn_runner({"--lang", "bash", "--timeout", "60", "--interactor", dir / "interactor"},
                             "sleep " + tok + "\n", {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}});
    ASSERT_GT(s.pid, 0);
    ASSERT_TRUE(appears_within(tok, 20));
    ASSERT_EQ(kill(s.pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(s.pid, &status, 0), s.pid);
    close(s.out_fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM) << status;
    EXPECT_FALSE(testing_support::process_with_token_alive(tok)) << "a side of the exchange outlived the runner";
    expect_empty_dir(tmp.path());
}

// Killed outright, the runner cannot forward anything: the parent-death
// signal takes the child with it.
TEST(RunnerKilled, ChildDiesWithTheRunner) {
    TempDir tmp;
    const std::string tok = sleep_token();
    Spawned s = spawn_runner({"--lang", "bash", "--timeout", "60"}, "exec sleep " + tok + "\n",
                             {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}});
    ASSERT_GT(s.pid, 0);
    ASSERT_TRUE(appears_within(tok, 20));
    ASSERT_EQ(kill(s.pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(s.pid, &status, 0), s.pid);
    close(s.out_fd);
    EXPECT_TRUE(gone_within(tok)) << "the child outlived a killed runner";
}

// ------------------------------------------- a root runner's own id per run

// Under --contain a root runner's children run as an id of their own from
// TESSIMAR_CONTAIN_UIDS. Each test takes a range no other test uses.
class RunUserId : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a user id of its own is for a root runner";
        open_up(tmp.path());
    }
    Invocation contained(const std::string& lang, const std::string& program, const std::string& range,
                         std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), "--contain");
        Invocation inv = run_of(lang, program, tmp.path(), std::move(extra));
        inv.set["TESSIMAR_CONTAIN_UIDS"] = range;
        return inv;
    }
    std::map<std::string, std::string> env(const std::string& range) const {
        return {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}, {"TESSIMAR_CONTAIN_UIDS", range}};
    }
    TempDir tmp;
};

// The kernel counts the id's tasks: a fork loop stops at the limit, fixed or
// the default headroom, where a root child without its own id went on.
TEST_F(RunUserId, ProcessLimitHolds) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    const std::string forks =
        "import os, time\n"
        "n = 0\n"
        "for _ in range(3000):\n"
        "    try:\n"
        "        pid = os.fork()\n"
        "    except OSError:\n"
        "        break\n"
        "    if pid == 0:\n"
        "        time.sleep(60)\n"
        "        os._exit(0)\n"
        "    n += 1\n"
        "print(os.getuid(), n)\n";
    Invocation fixed = contained("python3", forks, "61200-61209", {"--timeout", "30"});
    fixed.set["TESSIMAR_MAX_PROCESSES"] = "50";
    const json a = checked_report(run_exec(fixed));
    EXPECT_EQ(a.value("verdict", ""), "OK") << a.dump();
    unsigned uid = 0, n = 0;
    ASSERT_EQ(std::sscanf(a.value("stdout", "").c_str(), "%u %u", &uid, &n), 2) << a.dump();
    EXPECT_TRUE(uid >= 61200 && uid <= 61209) << a.dump();
    EXPECT_LE(n, 49U) << "the program itself is one of the 50";
    EXPECT_GE(n, 25U) << a.dump();
    for (const auto& note : notes(a)) EXPECT_NE(note, "process_limit_not_enforced_for_uid_0");

    const json b = checked_report(run_exec(contained("python3", forks, "61200-61209", {"--timeout", "30"})));
    ASSERT_EQ(std::sscanf(b.value("stdout", "").c_str(), "%u %u", &uid, &n), 2) << b.dump();
    EXPECT_LE(n, 511U) << "the default headroom of a fresh id is 512";
    EXPECT_GE(n, 256U) << b.dump();
}

// The real uid of the live process whose command line holds `token`, or -1.
long uid_of_token(const std::string& token) {
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    long uid = -1;
    while (const dirent* e = readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string cmdline;
        try {
            cmdline = testing_support::read_file("/proc/" + pid + "/cmdline");
        } catch (...) {
            continue;
        }
        if (cmdline.find(token) == std::string::npos) continue;
        std::string status;
        try {
            status = testing_support::read_file("/proc/" + pid + "/status");
        } catch (...) {
            continue;
        }
        const std::size_t at = status.find("\nUid:");
        if (at != std::string::npos) uid = std::strtol(status.c_str() + at + 5, nullptr, 10);
        break;
    }
    closedir(proc);
    return uid;
}

// While one run holds an id, the next takes another; with every id held a
// run is refused before anything runs.
TEST_F(RunUserId, ConcurrentRunsNeverShareAnId) {
    const std::string range = "61210-61211";
    const std::string tok_a = sleep_token(), tok_b = sleep_token();
    Spawned a =
        spawn_runner({"--lang", "bash", "--contain", "--timeout", "120"}, "exec sleep " + tok_a + "\n", env(range));
    ASSERT_TRUE(appears_within(tok_a, 20));
    Spawned b =
        spawn_runner({"--lang", "bash", "--contain", "--timeout", "120"}, "exec sleep " + tok_b + "\n", env(range));
    ASSERT_TRUE(appears_within(tok_b, 20));
    const std::set<long> ids = {uid_of_token(tok_a), uid_of_token(tok_b)};
    const std::string marker = unique_token("never");
    const json c = checked_report(run_exec(contained("bash", "echo " + marker + "\n", range)));
    for (const Spawned& s : {a, b}) {
        EXPECT_EQ(kill(s.pid, SIGTERM), 0);
        int status = 0;
        EXPECT_EQ(waitpid(s.pid, &status, 0), s.pid);
        close(s.out_fd);
    }
    EXPECT_EQ(ids, (std::set<long>{61210, 61211}));
    EXPECT_EQ(c.value("error", ""), "no free user id for the run: every id of TESSIMAR_CONTAIN_UIDS (" + range +
                                        ") is in use")
        << c.dump();
    EXPECT_TRUE(gone_within(tok_a) && gone_within(tok_b));
}

// What a runner killed by SIGKILL left running under its id is killed
// before the next run with that id starts.
TEST_F(RunUserId, LeftoverOfAKilledRunnerIsKilledBeforeTheNextRun) {
    if (!have("/usr/bin/setsid")) GTEST_SKIP() << "no setsid";
    const std::string range = "61220-61220";
    const std::string left = sleep_token(), main = sleep_token();
    Spawned s = spawn_runner({"--lang", "bash", "--contain", "--timeout", "60"},
                             "setsid sleep " + left + " &\nexec sleep " + main + "\n", env(range));
    ASSERT_TRUE(appears_within(left, 20));
    ASSERT_TRUE(appears_within(main, 20));
    ASSERT_EQ(kill(s.pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(s.pid, &status, 0), s.pid);
    close(s.out_fd);
    // Out of the group and without a parent-death signal: nothing else ends it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(testing_support::process_with_token_alive(left)) << "no leftover to test with";

    const json j = checked_report(run_exec(contained("bash", "id -u\n", range)));
    EXPECT_EQ(j.value("stdout", ""), "61220\n") << j.dump();
    EXPECT_TRUE(gone_within(left, 2)) << "the leftover outlived the next run with its id";
}

// A run that ends clean spares the next one the walk for leftovers, but not
// the look: a process of the id that no runner started is still killed.
TEST_F(RunUserId, ProcessOfTheIdIsKilledAfterACleanRun) {
    if (!have("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
    const std::string range = "61250-61250";
    EXPECT_EQ(checked_report(run_exec(contained("bash", "id -u\n", range))).value("stdout", ""), "61250\n");
    const std::string tok = sleep_token();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl("/usr/bin/setpriv", "setpriv", "--reuid=61250", "--regid=61250", "--clear-groups", "/bin/sleep",
              tok.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Only once it runs as the id: setpriv shows the token while still root.
    for (int i = 0; i < 400 && uid_of_token(tok) != 61250; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(uid_of_token(tok), 61250);
    const json j = checked_report(run_exec(contained("bash", "id -u\n", range)));
    EXPECT_EQ(j.value("stdout", ""), "61250\n") << j.dump();
    EXPECT_TRUE(gone_within(tok, 2)) << "a process of the id outlived the next run with it";
    (void)kill(pid, SIGKILL);
    int status = 0;
    (void)waitpid(pid, &status, 0);
}

// The caller's work directory is lent to the run's id and given back: its
// owner and mode as they were, what the program made the owner's, nothing
// writable by others, the caller's own file untouched.
TEST_F(RunUserId, CallersWorkDirectoryIsGivenBack) {
    const std::string w = tmp / "w";
    ASSERT_EQ(mkdir(w.c_str(), 0750), 0);
    write_file(w + "/mine", "caller\n", 0644);
    ASSERT_EQ(chown(w.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((w + "/mine").c_str(), 65534, 65534), 0);
    const std::string program =
        "umask 0; id -u\n"
        "echo made > made; chmod 4777 made\n"
        "mkdir -p d/e; echo deep > d/e/f; chmod 777 d d/e\n"
        "ln -s /etc/passwd link\n"
        "echo theirs > mine 2>/dev/null || echo refused\n"
        // Access control lists that would keep the id's rights after the run.
        "/usr/bin/python3 -c \"import os, struct\n"
        "acl = struct.pack('<I', 2) + b''.join(struct.pack('<HHI', *e) for e in [(1, 7, 2**32 - 1),\n"
        "    (2, 7, os.getuid()), (4, 5, 2**32 - 1), (16, 7, 2**32 - 1), (32, 0, 2**32 - 1)])\n"
        "for p, n in (('.', 'access'), ('.', 'default'), ('d', 'default'), ('made', 'access')):\n"
        "    os.setxattr(p, 'system.posix_acl_' + n, acl)\n"
        "print('acl set')\" 2>/dev/null || echo no acl\n";
    const json j = checked_report(run_exec(contained("bash", program, "61230-61230", {"--workdir", w})));
    const std::string out = j.value("stdout", "");
    EXPECT_TRUE(out == "61230\nrefused\nacl set\n" || out == "61230\nrefused\nno acl\n") << j.dump();
    EXPECT_EQ(testing_support::read_file(w + "/mine"), "caller\n");

    struct stat st;
    ASSERT_EQ(lstat(w.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534U);
    EXPECT_EQ(st.st_gid, 65534U);
    EXPECT_EQ(st.st_mode & 07777, 0750U);
    EXPECT_EQ(listxattr(w.c_str(), nullptr, 0), 0) << "the work directory keeps the id's access control lists";
    std::vector<std::string> pending = {w};
    int seen = 0;
    while (!pending.empty()) {
        const std::string dir = pending.back();
        pending.pop_back();
        DIR* d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr) << dir;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string p = dir + "/" + name;
            ASSERT_EQ(lstat(p.c_str(), &st), 0) << p;
            ++seen;
            EXPECT_EQ(st.st_uid, 65534U) << p;
            EXPECT_EQ(st.st_gid, 65534U) << p;
            if (!S_ISLNK(st.st_mode)) {
                EXPECT_EQ(st.st_mode & (S_IWOTH | S_ISUID), 0U) << p;
                EXPECT_EQ(listxattr(p.c_str(), nullptr, 0), 0) << p << " keeps extended attributes";
            }
            if (S_ISDIR(st.st_mode)) pending.push_back(p);
        }
        closedir(d);
    }
    EXPECT_GE(seen, 7) << "mine, made, d, d/e, d/e/f, link and the scratch directory";
}

// Where no id can be taken (a user namespace that maps only root), the run
// goes on as uid 0 and says so.
TEST_F(RunUserId, UnmappedIdsFallBackToRootWithANote) {
    if (!have("/usr/bin/unshare")) GTEST_SKIP() << "no unshare";
    // A root child gives up every capability for good: the program it
    // runs gets none back on exec.
    Invocation inv = contained("bash",
                               "id -u; while read -r k v; do case $k in CapPrm:|CapEff:|CapAmb:|NoNewPrivs:)\n"
                               "echo \"$k $v\";; esac; done < /proc/$$/status\n",
                               "61240-61240");
    inv.wrapper = {"/usr/bin/unshare", "--user", "--map-root-user", "--"};
    const ProcessResult r = run_exec(inv);
    if (r.out.empty()) GTEST_SKIP() << "no user namespace here: " << r.err;
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""),
              "0\nCapPrm: 0000000000000000\nCapEff: 0000000000000000\nCapAmb: 0000000000000000\nNoNewPrivs: 1\n")
        << j.dump();
    const std::vector<std::string> n = notes(j);
    ASSERT_FALSE(n.empty()) << j.dump();
    EXPECT_EQ(n.back(), "contain_uid_unavailable");
}

}  // namespace
