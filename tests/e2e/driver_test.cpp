// Whole runs through the built binary: limits clamped by the caller's hard
// limits, the preload library, the termination handler, a fork bomb, the
// shared time budget, work directories and their clean-up.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<std::string> notes(const json& report) {
    std::vector<std::string> out;
    for (const auto& n : report.at("unenforced")) out.push_back(n.get<std::string>());
    return out;
}

std::string real(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// A fake compiler directory: "gcc" sleeps, then writes `script` to the -o path.
void make_fake_gcc(const std::string& dir, const std::string& sleep_secs, const std::string& script) {
    write_file(dir + "/script.txt", script);
    write_file(dir + "/gcc",
               "#!/bin/bash\n"
               "out=\n"
               "while [ $# -gt 0 ]; do\n"
               "  if [ \"$1\" = -o ]; then out=$2; shift; fi\n"
               "  shift\n"
               "done\n"
               "sleep " + sleep_secs + "\n"
               "{ cat '" + dir + "/script.txt'; echo \"echo compile_cpu=$(ulimit -t) compile_fsize=$(ulimit -f)\"; } > \"$out\"\n"
               "chmod +x \"$out\"\n",
               0755);
}

// ------------------------------------------------------- hard-limit clamps

const char* kLimitsProgram =
    "import resource as r\n"
    "for n in ('CPU','FSIZE','NPROC','AS'):\n"
    "    s, h = r.getrlimit(getattr(r, 'RLIMIT_' + n))\n"
    "    print(n, s, h)\n";

TEST(DriverClamp, CpuLimitClampedToTheCallersHardLimit) {
    if (!have("/usr/bin/prlimit")) GTEST_SKIP() << "no prlimit";
    Invocation inv = run_of("python3", kLimitsProgram);
    inv.wrapper = {"/usr/bin/prlimit", "--cpu=5:5", "--"};
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_NE(j.value("stdout", "").find("CPU 5 5\n"), std::string::npos) << j.dump();
    const auto n = notes(j);
    ASSERT_FALSE(n.empty());
    EXPECT_EQ(n.front(), "cpu_limit_clamped_to_hard_rlimit");
}

TEST(DriverClamp, NotesComeInTheirFixedOrder) {
    if (!have("/usr/bin/prlimit")) GTEST_SKIP() << "no prlimit";
    SKIP_IF_RUNNER_NEEDS_ITS_ADDRESS_SPACE();
    Invocation inv = run_of("python3", kLimitsProgram);
    inv.wrapper = {"/usr/bin/prlimit", "--cpu=5:5", "--fsize=100000:100000", "--nproc=20:20",
                   "--as=1073741824:1073741824", "--"};
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    const std::string out = j.value("stdout", "");
    EXPECT_NE(out.find("CPU 5 5\n"), std::string::npos) << out;
    EXPECT_NE(out.find("FSIZE 100000 100000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("NPROC 20 20\n"), std::string::npos) << out;
    EXPECT_NE(out.find("AS 1073741824 1073741824\n"), std::string::npos) << out;
    std::vector<std::string> expected = {"cpu_limit_clamped_to_hard_rlimit",
                                         "file_size_limit_clamped_to_hard_rlimit",
                                         "process_limit_clamped_to_hard_rlimit"};
    if (geteuid() == 0) expected.push_back("process_limit_not_enforced_for_uid_0");
    expected.push_back("memory_limit_clamped_to_hard_rlimit");
    EXPECT_EQ(notes(j), expected);
}

TEST(DriverClamp, SoftLimitsAloneDoNotClamp) {
    if (!have("/usr/bin/prlimit")) GTEST_SKIP() << "no prlimit";
    struct rlimit rl;
    if (getrlimit(RLIMIT_CPU, &rl) != 0 || rl.rlim_max != RLIM_INFINITY) GTEST_SKIP() << "hard CPU limit set";
    Invocation inv = run_of("python3", kLimitsProgram);
    inv.wrapper = {"/usr/bin/prlimit", "--cpu=5:unlimited", "--"};
    const json j = report_of(run_exec(inv));
    EXPECT_NE(j.value("stdout", "").find("CPU 18 18\n"), std::string::npos) << j.dump();
    for (const auto& n : notes(j)) EXPECT_NE(n, "cpu_limit_clamped_to_hard_rlimit");
}

// The process count without /proc (an empty file system mounted over it in
// a mount namespace of the runner's own): the fixed ceiling, or the fixed
// limit, both with the note; with /proc and a fixed limit, no note.
TEST(DriverProcessCount, WithoutProcTheLimitIsAFixedCeiling) {
    if (geteuid() != 0 || !have("/usr/bin/unshare")) GTEST_SKIP() << "needs root and unshare";
    if (kRunnerSanitized) GTEST_SKIP() << "the sanitizer runtime of the runner needs /proc itself";
    const std::vector<std::string> no_proc = {
        "/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
        "mount -t tmpfs none /proc && exec \"$@\"", "sh"};
    for (const char* fixed : {"", "64"}) {
        for (bool without_proc : {true, false}) {
            if (!without_proc && *fixed == '\0') continue;
            Invocation inv = run_of("bash", "ulimit -u\n");
            if (*fixed != '\0') inv.set["TESSIMAR_MAX_PROCESSES"] = fixed;
            else inv.unset.push_back("TESSIMAR_MAX_PROCESSES");
            if (without_proc) inv.wrapper = no_proc;
            const json j = report_of(run_exec(inv));
            ASSERT_EQ(j.value("verdict", ""), "OK") << j.dump();
            EXPECT_EQ(j.value("stdout", ""), std::string(*fixed != '\0' ? fixed : "4096") + "\n") << j.dump();
            std::vector<std::string> want;
            if (without_proc) want.push_back("process_limit_is_a_fixed_ceiling_not_measured");
            want.push_back("process_limit_not_enforced_for_uid_0");
            EXPECT_EQ(notes(j), want) << fixed << (without_proc ? " without /proc" : " with /proc");
        }
    }
}

// ---------------------------------------------------------- preload library

TEST(DriverPreload, LibraryAloneRefusesInternetSockets) {
    if (!have("/usr/bin/python3")) GTEST_SKIP();
    Invocation inv;
    inv.args = {"-c", kSocketProbePy};
    inv.set["LD_PRELOAD"] = BLOCKNET_SO;
    const ProcessResult r = run_process(inv, "/usr/bin/python3");
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out, "inet 13\ninet6 13\nunix ok\npair ok\n") << r.err;
}

TEST(DriverPreload, NoNetPreloadsTheLibraryBesideTheRunner) {
    const char* program = "import os; print(os.environ.get('LD_PRELOAD'))";
    json j = report_of(run_exec(run_of("python3", program, {"--no-net"})));
    ASSERT_EQ(j.value("verdict", ""), "OK") << j.dump();
    std::string shown = j.value("stdout", "");
    ASSERT_FALSE(shown.empty());
    shown.pop_back();
    EXPECT_EQ(real(shown), real(BLOCKNET_SO));

    j = report_of(run_exec(run_of("python3", program)));
    EXPECT_EQ(j.value("stdout", ""), "None\n");
}

TEST(DriverPreload, DirectoryNamedLikeTheLibraryIsIgnored) {
    TempDir dir;
    const std::string copy = dir / "tessimar-exec";
    write_file(copy, read_file(kExec), 0755);
    ASSERT_EQ(mkdir((dir / "blocknet.so").c_str(), 0755), 0);
    Invocation inv = run_of("python3", "import os; print(os.environ.get('LD_PRELOAD'))", {"--no-net"});
    const json j = report_of(run_process(inv, copy));
    EXPECT_EQ(j.value("stdout", ""), "None\n") << j.dump();
    for (const auto& n : notes(j))
        if (n == "no_net_best_effort_shim") ADD_FAILURE() << "a directory counted as the shim";
}

// The termination handler (SIGTERM, SIGINT, SIGHUP during either phase) is
// exercised by the attack suite's RunnerSignalled cases.

// ------------------------------------------------------------------ fork bomb

class DriverForkBomb : public ::testing::TestWithParam<std::string> {};

// The plain bomb ends when its first shell returns; the second keeps its
// shell alive, so the group is killed at the wall-clock timeout.
TEST_P(DriverForkBomb, OrdinaryUserBombEndsAndLeavesNothingBehind) {
    if (!have("/usr/bin/setpriv")) GTEST_SKIP() << "no setpriv";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch user";
    TempDir base;
    open_up(base.path());
    const std::string w = base / "bomb-work";
    ASSERT_EQ(mkdir(w.c_str(), 0777), 0);
    open_up(w);

    Invocation inv = run_of("bash", GetParam(), {"--timeout", "5", "--workdir", w});
    inv.set["TESSIMAR_MAX_PROCESSES"] = "50";
    inv.set["HOME"] = "/nonexistent";
    inv.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = run_exec(inv);
    EXPECT_LT(seconds_since(start), 60.0);
    const json j = report_of(r);
    EXPECT_EQ(j.value("phase", ""), "run") << r.out;
    EXPECT_EQ(j.value("language", ""), "bash");
    const std::string verdict = j.value("verdict", "");
    EXPECT_TRUE(verdict == "TLE" || verdict == "RTE" || verdict == "OK") << verdict;
    if (GetParam().find("wait") != std::string::npos) {
        EXPECT_EQ(verdict, "TLE") << r.out.substr(0, 400);
    }
    for (const auto& n : notes(j)) EXPECT_NE(n, "process_limit_not_enforced_for_uid_0");

    // Every bomb process runs the script in W; none may survive.
    const auto ended = std::chrono::steady_clock::now();
    while (process_with_token_alive(w) && seconds_since(ended) < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(process_with_token_alive(w)) << "fork bomb processes survived";
}

INSTANTIATE_TEST_SUITE_P(Bombs, DriverForkBomb,
                         ::testing::Values(std::string(":(){ :|:& };:\n"),
                                           std::string(":(){ :|:& };:\nwhile :; do wait; sleep 0.1; done\n")),
                         [](const auto& info) { return info.index == 0 ? std::string("Plain") : std::string("ShellStaysAlive"); });

// ---------------------------------------------------------------- time budget

TEST(DriverBudget, SlowCompileShortensTheRunTimeout) {
    TempDir fake, tmp;
    make_fake_gcc(fake.path(), "2.5", "#!/bin/bash\necho run_cpu=$(ulimit -t) run_hard=$(ulimit -Ht) run_fsize=$(ulimit -f)\n");
    Invocation inv = run_of("c", "int main(void){return 0;}\n", {"--timeout", "10", "--max-cpu", "0", "--max-output-kb", "1"});
    inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    inv.set["TMPDIR"] = tmp.path();
    const json j = report_of(run_exec(inv));
    ASSERT_EQ(j.value("verdict", ""), "OK") << j.dump();
    const std::uint64_t compile_ms = j.at("compile_ms").get<std::uint64_t>();
    EXPECT_GE(compile_ms, 2500u);
    EXPECT_LT(compile_ms, 10000u);

    int run_cpu = 0, run_hard = 0, run_fsize = 0, compile_cpu = 0;
    std::string compile_fsize;
    const std::string out = j.value("stdout", "");
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("run_cpu=", 0) == 0)
            std::sscanf(line.c_str(), "run_cpu=%d run_hard=%d run_fsize=%d", &run_cpu, &run_hard, &run_fsize);
        if (line.rfind("compile_cpu=", 0) == 0) {
            std::sscanf(line.c_str(), "compile_cpu=%d", &compile_cpu);
            compile_fsize = line.substr(line.find("compile_fsize=") + 14);
        }
    }
    // The run phase gets the rest of the budget, rounded up, plus 8 s of CPU.
    const int upper = static_cast<int>((10000 - compile_ms + 999) / 1000) + 8;
    EXPECT_TRUE(run_cpu == upper || run_cpu == upper - 1) << out << " compile_ms " << compile_ms;
    EXPECT_TRUE(run_cpu == 15 || run_cpu == 16) << out;
    EXPECT_EQ(run_hard, run_cpu);
    EXPECT_EQ(compile_cpu, 18) << out;  // the compile phase has the whole timeout
    // The output cap limits the run phase's files (4 KiB = 4 blocks), not the compiler's.
    EXPECT_EQ(run_fsize, 4) << out;
    EXPECT_EQ(compile_fsize, "262144") << out;
    EXPECT_TRUE(list_dir(tmp.path()).empty());
}

// A compile budget of its own: a compile longer than the run's timeout is
// fine, and the run still gets its whole timeout (1 s: 9 s of CPU).
TEST(DriverBudget, CompileTimeoutIsABudgetOfItsOwn) {
    TempDir fake, tmp;
    make_fake_gcc(fake.path(), "1.5", "#!/bin/bash\necho run_cpu=$(ulimit -t)\n");
    Invocation inv =
        run_of("c", "int main(void){return 0;}\n", {"--timeout-ms", "1000", "--compile-timeout", "20"});
    inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    inv.set["TMPDIR"] = tmp.path();
    json j = report_of(run_exec(inv));
    ASSERT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_GE(j.at("compile_ms").get<std::uint64_t>(), 1500u);
    const std::string out = j.value("stdout", "");
    EXPECT_NE(out.find("run_cpu=9\n"), std::string::npos) << out;
    EXPECT_NE(out.find("compile_cpu=28 "), std::string::npos) << out;  // 20 s + 8

    // Past its own budget the compile is what timed out.
    inv = run_of("c", "int main(void){return 0;}\n", {"--timeout", "30", "--compile-timeout-ms", "300"});
    inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    inv.set["TMPDIR"] = tmp.path();
    j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "TLE") << j.dump();
    EXPECT_EQ(j.value("phase", ""), "compile") << j.dump();
    EXPECT_LT(j.at("compile_ms").get<std::uint64_t>(), 1500u);
    EXPECT_TRUE(list_dir(tmp.path()).empty());
}

// A limit in milliseconds ends the run at that point, not at the next second.
TEST(DriverBudget, TimeoutInMilliseconds) {
    const json j = report_of(run_exec(run_of("bash", "echo started\nsleep 30\n", {"--timeout-ms", "300"})));
    EXPECT_EQ(j.value("verdict", ""), "TLE") << j.dump();
    EXPECT_EQ(j.value("stdout", ""), "started\n");
    EXPECT_GE(j.at("duration_ms").get<std::uint64_t>(), 300u);
    EXPECT_LT(j.at("duration_ms").get<std::uint64_t>(), 1000u) << "rounded up to whole seconds?";
}

void expect_one_of_the_tle_shapes(const json& j) {
    EXPECT_EQ(j.value("verdict", ""), "TLE") << j.dump();
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.value("timed_out", false), true);
    EXPECT_EQ(j.value("stderr", ""), "<killed: exceeded wall-clock timeout>");
    EXPECT_FALSE(j.contains("error")) << j.dump();
    if (j.value("phase", "") == "compile") {
        // The compile outcome itself timed out.
        EXPECT_EQ(j.at("duration_ms"), j.at("compile_ms"));
        EXPECT_EQ(j.at("exit_code"), -9);
        ASSERT_TRUE(j.contains("spawn_error"));
        EXPECT_TRUE(j.at("spawn_error").is_null());
        EXPECT_TRUE(j.at("stdout_bytes").is_number());
    } else {
        // The compile phase finished but used the whole budget.
        EXPECT_EQ(j.value("phase", ""), "run");
        EXPECT_EQ(j.at("duration_ms"), 0);
        EXPECT_EQ(j.at("cpu_ms"), 0);
        EXPECT_EQ(j.at("peak_memory_kb"), 0);
        EXPECT_TRUE(j.at("exit_code").is_null());
        EXPECT_EQ(j.at("unenforced"), json::array());
        EXPECT_FALSE(j.contains("spawn_error"));
        EXPECT_TRUE(j.at("stdout_bytes").is_null());
        EXPECT_TRUE(j.at("stderr_bytes").is_null());
        EXPECT_EQ(j.value("stdout", "x"), "");
        EXPECT_EQ(j.value("output_truncated", true), false);
        EXPECT_TRUE(j.at("output_error").is_null());
    }
}

TEST(DriverBudget, CompileLongerThanTheTimeoutIsTle) {
    TempDir fake, tmp;
    make_fake_gcc(fake.path(), "2.2", "#!/bin/bash\necho ran\n");
    Invocation inv = run_of("c", "int main(void){return 0;}\n", {"--timeout", "2"});
    inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    inv.set["TMPDIR"] = tmp.path();
    const auto start = std::chrono::steady_clock::now();
    const json j = report_of(run_exec(inv));
    EXPECT_LT(seconds_since(start), 10.0);
    expect_one_of_the_tle_shapes(j);
    EXPECT_GE(j.at("compile_ms").get<std::uint64_t>(), 1900u);
    EXPECT_TRUE(list_dir(tmp.path()).empty());
}

TEST(DriverBudget, ZeroTimeoutWithACompiler) {
    TempDir fake, tmp;
    make_fake_gcc(fake.path(), "0.05", "#!/bin/bash\necho ran\n");
    Invocation inv = run_of("c", "int main(void){return 0;}\n", {"--timeout", "0"});
    inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
    inv.set["TMPDIR"] = tmp.path();
    expect_one_of_the_tle_shapes(report_of(run_exec(inv)));
}

// The largest timeouts saturate the budget; what is left of it must not wrap
// around to a run-phase timeout of zero when it is rounded up.
TEST(DriverBudget, LargestTimeoutsSurviveTheRounding) {
    for (const char* timeout : {"18446744073709551615", "18446744073709551", "18446744073709552"}) {
        TempDir fake, tmp;
        make_fake_gcc(fake.path(), "0.05", "#!/bin/bash\necho ran\n");
        Invocation inv = run_of("c", "int main(void){return 0;}\n", {"--timeout", timeout});
        inv.set["TESSIMAR_RUNTIME_PATH"] = fake.path() + ":" + kSearchPath;
        inv.set["TMPDIR"] = tmp.path();
        const json j = report_of(run_exec(inv));
        EXPECT_EQ(j.value("verdict", ""), "OK") << timeout << ": " << j.dump();
        EXPECT_FALSE(j.value("timed_out", true)) << timeout;
        EXPECT_EQ(j.value("stdout", "").rfind("ran\n", 0), 0u) << timeout << ": " << j.dump();
    }
}

// ------------------------------------------------------------ work directories

TEST(DriverWorkdir, CreatedWorkDirectoryIsRemoved) {
    TempDir tmp;
    Invocation inv = run_of("python3", "import os; print(os.getcwd())");
    inv.set["TMPDIR"] = tmp.path();
    const json j = report_of(run_exec(inv));
    ASSERT_EQ(j.value("verdict", ""), "OK") << j.dump();
    const std::string w = j.value("workdir", "");
    EXPECT_EQ(w.rfind(tmp.path() + "/tessimar-", 0), 0u) << w;
    EXPECT_EQ(j.value("stdout", ""), w + "\n");
    EXPECT_TRUE(list_dir(tmp.path()).empty());
}

TEST(DriverWorkdir, GivenWorkDirectoryKeepsTheScratchFiles) {
    TempDir w;
    write_file(w / "data.txt", "caller's file\n");
    Invocation inv = run_of("python3", "print(open('data.txt').read(), end='')", {"--workdir", w.path(), "--stdin", "in"});
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("stdout", ""), "caller's file\n") << j.dump();
    EXPECT_EQ(j.value("workdir", ""), w.path());
    EXPECT_EQ(list_dir(w / ".tessimar-run"),
              (std::vector<std::string>{"_tessimar_node_sibling_shim.js", "main.py", "run.err", "run.in", "run.out"}));
    EXPECT_EQ(read_file(w / ".tessimar-run/run.out"), "caller's file\n");
    EXPECT_EQ(read_file(w / ".tessimar-run/run.in"), "in");
    EXPECT_EQ(list_dir(w.path()), (std::vector<std::string>{".tessimar-run", "data.txt"}));
}

const char* kWhereProgram =
    "import os, sys\n"
    "import helper\n"
    "print(sys.argv[0]); print(os.environ['TESSIMAR_WORKDIR_ROOT']); print(os.getcwd()); print(helper.X)\n";

TEST(DriverWorkdir, RelativeAndAbsoluteWorkDirectoriesForPython) {
    TempDir cwd;
    ASSERT_EQ(mkdir((cwd / "sub").c_str(), 0755), 0);
    write_file(cwd / "helper.py", "X = 'top'\n");
    write_file(cwd / "sub/helper.py", "X = 'sub'\n");

    Invocation inv = run_of("python3", kWhereProgram, {"--workdir", "."});
    inv.cwd = cwd.path();
    json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.value("stdout", ""), "./.tessimar-run/main.py\n.\n" + cwd.path() + "\ntop\n");
    EXPECT_EQ(j.value("workdir", ""), ".");

    inv = run_of("python3", kWhereProgram, {"--workdir", "sub"});
    inv.cwd = cwd.path();
    j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.value("stdout", ""), "./.tessimar-run/main.py\nsub\n" + (cwd / "sub") + "\nsub\n");
    EXPECT_EQ(j.value("workdir", ""), "sub");
    EXPECT_TRUE(exists(cwd / "sub/.tessimar-run/main.py"));

    inv = run_of("python3", kWhereProgram, {"--workdir", cwd / "sub"});
    j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.value("stdout", ""),
              (cwd / "sub/.tessimar-run/main.py") + "\n" + (cwd / "sub") + "\n" + (cwd / "sub") + "\nsub\n");
}

TEST(DriverWorkdir, RelativeWorkDirectoriesForC) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir cwd;
    ASSERT_EQ(mkdir((cwd / "sub").c_str(), 0755), 0);
    write_file(cwd / "sub/local.h", "#define GREETING \"from sub\"\n");
    write_file(cwd / "sub/input.txt", "file in sub\n");
    // {work}/.. is the work directory: its headers are found by the compiler.
    const std::string program =
        "#include <stdio.h>\n#include \"local.h\"\n"
        "int main(void){char b[64]={0};FILE*f=fopen(\"input.txt\",\"r\");if(!f)return 4;"
        "fgets(b,sizeof b,f);printf(\"%s %s\",GREETING,b);return 0;}\n";
    for (const std::string& w : {std::string("sub"), std::string("./sub"), cwd / "sub"}) {
        Invocation inv = run_of("c", program, {"--workdir", w});
        inv.cwd = cwd.path();
        const json j = report_of(run_exec(inv));
        EXPECT_EQ(j.value("verdict", ""), "OK") << w << ": " << j.dump();
        EXPECT_EQ(j.value("stdout", ""), "from sub file in sub\n") << w;
    }
    Invocation inv = run_of("c", program, {"--workdir", "."});
    inv.cwd = cwd / "sub";
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
}

TEST(DriverWorkdir, RelativeTemporaryBase) {
    TempDir cwd;
    ASSERT_EQ(mkdir((cwd / "rel").c_str(), 0755), 0);
    for (const char* lang : {"python3", "c"}) {
        if (std::string(lang) == "c" && !have("/usr/bin/gcc")) continue;
        Invocation inv = run_of(lang, std::string(lang) == "c" ? "#include <stdio.h>\nint main(void){puts(\"hi\");}\n"
                                                               : "print('hi')\n");
        inv.set["TMPDIR"] = "rel";
        inv.cwd = cwd.path();
        const json j = report_of(run_exec(inv));
        EXPECT_EQ(j.value("verdict", ""), "OK") << lang << ": " << j.dump();
        EXPECT_EQ(j.value("stdout", ""), "hi\n") << lang;
        EXPECT_EQ(j.value("workdir", "").rfind("rel/tessimar-", 0), 0u) << j.dump();
        EXPECT_TRUE(list_dir(cwd / "rel").empty()) << lang;
    }
}

}  // namespace
