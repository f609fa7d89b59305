// The printed report of whole runs through the built binary: its text form,
// and the verdicts of real programs (python3, C, C++).
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

constexpr const char* kTimeoutText = "<killed: exceeded wall-clock timeout>";

// The members every full report carries, besides `error` and `spawn_error`.
const std::vector<std::string> kFullKeys = {
    "compile_ms", "cpu_ms", "duration_ms", "exit_code", "language", "ok", "output_error",
    "output_truncated", "peak_memory_kb", "phase", "platform", "stderr", "stderr_bytes", "stdout",
    "stdout_bytes", "timed_out", "total_ms", "unenforced", "verdict", "workdir"};

void expect_full_shape(const json& j) {
    for (const auto& k : kFullKeys) EXPECT_TRUE(j.contains(k)) << "missing " << k << " in " << j.dump();
    EXPECT_EQ(j.value("platform", ""), "linux");
}

class ReportE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
        inv_tmp_ = tmp_.path();
    }
    // Runs with TMPDIR in a test directory and checks it is empty afterwards.
    json run(Invocation inv) {
        inv.set["TMPDIR"] = inv_tmp_;
        last_ = run_exec(inv);
        const json j = report_of(last_);
        EXPECT_TRUE(list_dir(inv_tmp_).empty()) << "work directory left behind";
        return j;
    }
    TempDir tmp_;
    std::string inv_tmp_;
    ProcessResult last_;
};

TEST_F(ReportE2e, HelloLineTextForm) {
    const json j = run(run_of("python3", "print('hi')\n"));
    const std::string& line = last_.out;
    EXPECT_EQ(line.rfind("{\"compile_ms\":0,\"cpu_ms\":", 0), 0u) << line;
    const std::string tail = ",\"workdir\":\"" + j.value("workdir", "?") + "\"}\n";
    ASSERT_GE(line.size(), tail.size());
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(line.find(": "), std::string::npos);

    expect_full_shape(j);
    EXPECT_EQ(j.size(), kFullKeys.size() + 1) << j.dump();  // + spawn_error
    EXPECT_EQ(j.value("ok", false), true);
    EXPECT_EQ(j.value("verdict", ""), "OK");
    EXPECT_EQ(j.at("exit_code"), 0);
    EXPECT_EQ(j.value("stdout", ""), "hi\n");
    EXPECT_EQ(j.value("stderr", "x"), "");
    EXPECT_EQ(j.at("stdout_bytes"), 3);
    EXPECT_EQ(j.at("stderr_bytes"), 0);
    EXPECT_EQ(j.value("phase", ""), "run");
    EXPECT_EQ(j.value("language", ""), "python3");
    EXPECT_EQ(j.value("timed_out", true), false);
    EXPECT_TRUE(j.at("spawn_error").is_null());
    EXPECT_TRUE(j.at("output_error").is_null());
    EXPECT_FALSE(j.contains("error"));
    EXPECT_GE(j.at("total_ms").get<std::uint64_t>(), j.at("duration_ms").get<std::uint64_t>());
    EXPECT_GT(j.at("peak_memory_kb").get<std::uint64_t>(), 0u);
    if (geteuid() == 0) {
        EXPECT_EQ(j.at("unenforced"), json::array({"process_limit_not_enforced_for_uid_0"}));
    }
}

TEST_F(ReportE2e, OrdinaryUserHasNoNotes) {
    if (geteuid() != 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "needs root and setpriv";
    open_up(tmp_.path());
    const std::string w = tmp_ / "w";
    ASSERT_EQ(mkdir(w.c_str(), 0777), 0);
    open_up(w);
    Invocation inv = run_of("python3", "print('hi')\n", {"--workdir", w});
    inv.set["HOME"] = "/nonexistent";
    inv.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("unenforced"), json::array());
}

TEST_F(ReportE2e, ControlCharactersAndUnicodeInOutput) {
    run(run_of("python3", "import sys; sys.stdout.write('a\\tb\\x00c\\u00e9\"\\\\\\x01')\n"));
    EXPECT_NE(last_.out.find("\"stdout\":\"a\\tb\\u0000c\xC3\xA9\\\"\\\\\\u0001\""), std::string::npos) << last_.out;
}

TEST_F(ReportE2e, RuntimeErrorByExitCode) {
    const json j = run(run_of("python3", "import sys; print('x'); sys.exit(3)\n"));
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.at("exit_code"), 3);
    EXPECT_EQ(j.value("stdout", ""), "x\n");

    // An uncaught exception: status 1 and the traceback in stderr.
    const json k = run(run_of("python3", "raise ValueError('boom')\n"));
    EXPECT_EQ(k.value("verdict", ""), "RTE");
    EXPECT_EQ(k.at("exit_code"), 1);
    EXPECT_NE(k.value("stderr", "").find("ValueError: boom"), std::string::npos);
}

TEST_F(ReportE2e, SegfaultInC) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    const json j = run(run_of("c", "#include <signal.h>\nint main(void){raise(SIGSEGV);return 0;}\n"));
    expect_full_shape(j);
    EXPECT_EQ(j.value("phase", ""), "run");
    EXPECT_EQ(j.at("exit_code"), -11);
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.value("timed_out", true), false);
    EXPECT_GT(j.at("compile_ms").get<std::uint64_t>(), 0u);
}

// Touches `mib` MiB, then ends by abort() (a signal) or exit(1).
std::string toucher(int mib, bool by_signal) {
    return "#include <stdlib.h>\n#include <string.h>\n#include <stdio.h>\n"
           "int main(void){size_t n=(size_t)" + std::to_string(mib) + "<<20;volatile char*p=malloc(n);"
           "if(!p){puts(\"nomem\");return 2;}for(size_t i=0;i<n;i+=1024)p[i]=1;"
           "printf(\"%d\\n\",p[n-1024]);fflush(stdout);" +
           (by_signal ? "abort();" : "exit(1);") + "}\n";
}

TEST_F(ReportE2e, MemoryVerdictForASignalledChild) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    // 40 MiB touched against a 64 MiB limit: past half the limit.
    json j = run(run_of("c", toucher(40, true), {"--max-memory-mb", "64"}));
    EXPECT_EQ(j.value("stdout", ""), "1\n") << j.dump();
    EXPECT_EQ(j.at("exit_code"), -SIGABRT);
    EXPECT_GE(j.at("peak_memory_kb").get<std::uint64_t>(), 32768u);
    EXPECT_EQ(j.value("verdict", ""), "MLE") << j.dump();

    // 4 MiB: well below half.
    j = run(run_of("c", toucher(4, true), {"--max-memory-mb", "64"}));
    EXPECT_EQ(j.at("exit_code"), -SIGABRT);
    EXPECT_LT(j.at("peak_memory_kb").get<std::uint64_t>(), 32768u);
    EXPECT_EQ(j.value("verdict", ""), "RTE") << j.dump();

    // The same 40 MiB ending with a plain non-zero exit is no memory verdict.
    j = run(run_of("c", toucher(40, false), {"--max-memory-mb", "64"}));
    EXPECT_EQ(j.at("exit_code"), 1);
    EXPECT_GE(j.at("peak_memory_kb").get<std::uint64_t>(), 32768u);
    EXPECT_EQ(j.value("verdict", ""), "RTE") << j.dump();

    // Without a memory limit a signal is a runtime error, whatever the peak.
    j = run(run_of("c", toucher(40, true)));
    EXPECT_EQ(j.value("verdict", ""), "RTE") << j.dump();

    // Past the address-space limit the allocation itself fails.
    j = run(run_of("c", toucher(100, false), {"--max-memory-mb", "64"}));
    EXPECT_EQ(j.value("stdout", ""), "nomem\n") << j.dump();
    EXPECT_EQ(j.at("exit_code"), 2);
}

// Under --max-data-mb a run is judged by what it used, not by how it ended:
// a runtime's own out-of-memory report when it failed, the peak otherwise.
TEST_F(ReportE2e, DataLimitJudgesOverAllocation) {
    const std::vector<std::string> limit = {"--max-data-mb", "128"};
    // python3 raises MemoryError and exits 1: not a runtime error.
    json j = run(run_of("python3", "s = b'x' * (600 << 20)\n", limit));
    EXPECT_EQ(j.at("exit_code"), 1) << j.dump();
    EXPECT_EQ(j.value("verdict", ""), "MLE") << j.dump();
    EXPECT_EQ(j.value("ok", true), false);

    // The same word printed by a program that then ends well is its own business.
    j = run(run_of("python3",
                   "import sys\nprint('MemoryError')\nprint('MemoryError', file=sys.stderr)\n", limit));
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.value("ok", false), true);

    if (have("/usr/bin/g++")) {
        // A doubling vector fails well below the limit: std::bad_alloc says why.
        j = run(run_of("cpp", "#include <vector>\nint main() { std::vector<int> v; for (;;) v.push_back(1); }\n", limit));
        EXPECT_EQ(j.at("exit_code"), -SIGABRT) << j.dump();
        EXPECT_EQ(j.value("verdict", ""), "MLE") << j.dump();
    }
    if (have("/usr/bin/gcc")) {
        // A parent that forks a hungry child and ends well: the child's peak
        // (16 MiB at a time until refused) is past the limit.
        j = run(run_of("c",
                       "#include <stdlib.h>\n#include <sys/wait.h>\n#include <unistd.h>\n"
                       "int main(void) {\n"
                       "    pid_t pid = fork();\n"
                       "    if (pid == 0) {\n"
                       "        for (int i = 0; i < 40; i++) {\n"
                       "            volatile char *p = malloc(16 << 20);\n"
                       "            if (!p) _exit(1);\n"
                       "            for (int k = 0; k < (16 << 20); k += 4096) p[k] = 1;\n"
                       "        }\n"
                       "        _exit(0);\n"
                       "    }\n"
                       "    waitpid(pid, 0, 0);\n"
                       "    return 0;\n"
                       "}\n",
                       limit));
        EXPECT_EQ(j.at("exit_code"), 0) << j.dump();
        EXPECT_GT(j.at("peak_memory_kb").get<std::uint64_t>(), 128u * 1024) << j.dump();
        EXPECT_EQ(j.value("verdict", ""), "MLE") << j.dump();
        EXPECT_EQ(j.value("ok", true), false);
    }
}

TEST_F(ReportE2e, TimeLimitExceeded) {
    const json j = run(run_of("python3", "print('start', flush=True)\nwhile True: pass\n", {"--timeout", "1"}));
    expect_full_shape(j);
    EXPECT_EQ(j.value("verdict", ""), "TLE");
    EXPECT_EQ(j.value("timed_out", false), true);
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.at("exit_code"), -9);
    EXPECT_EQ(j.value("stderr", ""), kTimeoutText);
    EXPECT_EQ(j.value("stdout", ""), "start\n");
    EXPECT_GE(j.at("duration_ms").get<std::uint64_t>(), 900u);
    EXPECT_LT(j.at("duration_ms").get<std::uint64_t>(), 8000u);

    // Timed out with full output: still TLE.
    const json k = run(run_of("python3", "import sys\nsys.stdout.write('y' * 5000)\nsys.stdout.flush()\nwhile True: pass\n",
                              {"--timeout", "1", "--max-output-kb", "1"}));
    EXPECT_EQ(k.value("verdict", ""), "TLE");
    EXPECT_EQ(k.value("output_truncated", false), true);
}

TEST_F(ReportE2e, OutputLimitExceededIsStillOk) {
    // 3000 bytes: past the 1 KiB cap, within the 4 KiB file-size limit.
    const json j = run(run_of("python3", "import sys; sys.stdout.write('z' * 3000)\n", {"--max-output-kb", "1"}));
    EXPECT_EQ(j.value("verdict", ""), "OLE");
    EXPECT_EQ(j.value("ok", false), true);
    EXPECT_EQ(j.value("output_truncated", false), true);
    EXPECT_EQ(j.at("stdout_bytes"), 3000);
    EXPECT_EQ(j.value("stdout", ""), std::string(1024, 'z') + "\n...[truncated]");
    EXPECT_EQ(j.at("exit_code"), 0);
}

TEST_F(ReportE2e, MissingRuntime) {
    TempDir empty;
    Invocation inv = run_of("python3", "print('hi')\n");
    inv.set["TESSIMAR_RUNTIME_PATH"] = empty.path();
    const json j = run(inv);
    const std::string message =
        "runtime unavailable for the run phase: python3 not found (No such file or directory (os error 2))";
    expect_full_shape(j);
    EXPECT_EQ(j.value("error", ""), message);
    EXPECT_EQ(j.value("spawn_error", ""), message);
    EXPECT_EQ(j.value("stderr", ""), message);
    EXPECT_TRUE(j.at("exit_code").is_null());
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.value("phase", ""), "run");
    EXPECT_EQ(j.at("unenforced"), json::array());
    EXPECT_TRUE(j.at("stdout_bytes").is_null());

    // A missing compiler: the compile-failure report carries the same form.
    const json k = run([&] {
        Invocation c = run_of("c", "int main(void){return 0;}\n");
        c.set["TESSIMAR_RUNTIME_PATH"] = empty.path();
        return c;
    }());
    const std::string cmsg =
        "runtime unavailable for the compile phase: gcc not found (No such file or directory (os error 2))";
    EXPECT_EQ(k.value("phase", ""), "compile");
    EXPECT_EQ(k.value("error", ""), cmsg);
    EXPECT_EQ(k.value("spawn_error", ""), cmsg);
    EXPECT_TRUE(k.at("exit_code").is_null());
    EXPECT_EQ(k.value("verdict", ""), "RTE");
    EXPECT_EQ(k.at("duration_ms"), k.at("compile_ms"));
}

TEST_F(ReportE2e, CompileError) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    const json j = run(run_of("c", "int main(void) { return 0 }\n"));
    expect_full_shape(j);
    EXPECT_EQ(j.value("phase", ""), "compile");
    EXPECT_EQ(j.at("duration_ms"), j.at("compile_ms"));
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.at("exit_code"), 1);
    EXPECT_NE(j.value("stderr", "").find("error"), std::string::npos) << j.dump();
    EXPECT_NE(j.value("stderr", "").find("main.c"), std::string::npos) << j.dump();
    EXPECT_TRUE(j.at("spawn_error").is_null());
    EXPECT_FALSE(j.contains("error"));
    EXPECT_GE(j.at("total_ms").get<std::uint64_t>(), j.at("compile_ms").get<std::uint64_t>());
}

TEST_F(ReportE2e, CompilerOutputIsNotCappedButTheProgramsFilesAre) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir w;
    const std::string program =
        "#include <stdio.h>\n#include <string.h>\n"
        "char big[1 << 20] = {1};\n"
        "int main(int argc, char** argv){(void)argv;FILE*f=fopen(\"big.bin\",\"w\");if(!f)return 3;"
        "char b[4096];memset(b,big[argc - 1],sizeof b);"
        "for(int i=0;i<100;i++)if(fwrite(b,1,sizeof b,f)!=sizeof b){perror(\"fwrite\");return 4;}"
        "if(fclose(f)!=0){perror(\"fclose\");return 5;}return 0;}\n";
    const json j = run(run_of("c", program, {"--max-output-kb", "64", "--workdir", w.path()}));
    EXPECT_EQ(j.value("phase", ""), "run") << j.dump();
    struct stat st;
    ASSERT_EQ(stat((w / ".tessimar-run/a.out").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 256 * 1024);
    // 400 KiB against a 256 KiB file-size limit: SIGXFSZ, or EFBIG if handled.
    EXPECT_EQ(j.value("verdict", ""), "RTE") << j.dump();
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_TRUE(j.at("exit_code") == -SIGXFSZ || j.at("exit_code") == 4 || j.at("exit_code") == 5) << j.dump();
    ASSERT_EQ(stat((w / "big.bin").c_str(), &st), 0);
    EXPECT_LE(st.st_size, 256 * 1024);
}

TEST_F(ReportE2e, RealCompilersAndInterpreter) {
    if (have("/usr/bin/gcc")) {
        Invocation inv = run_of("c", "#include <stdio.h>\nint main(void){int a,b;scanf(\"%d %d\",&a,&b);printf(\"%d\\n\",a+b);}\n",
                                {"--stdin", "2 40"});
        const json j = run(inv);
        EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
        EXPECT_EQ(j.value("stdout", ""), "42\n");
        EXPECT_EQ(j.value("language", ""), "c");
        EXPECT_GT(j.at("compile_ms").get<std::uint64_t>(), 0u);
        EXPECT_GE(j.at("total_ms").get<std::uint64_t>(),
                  j.at("compile_ms").get<std::uint64_t>() + j.at("duration_ms").get<std::uint64_t>());
    }
    if (have("/usr/bin/g++")) {
        const std::string program =
            "#include <iostream>\n#include <string>\n#include <vector>\n#include <algorithm>\n"
            "int main(){std::vector<std::string> v;std::string s;while(std::cin>>s)v.push_back(s);"
            "std::sort(v.begin(),v.end());for(auto&x:v)std::cout<<x<<' ';std::cout<<'\\n';}\n";
        for (const char* lang : {"cpp", "c++"}) {
            const json j = run(run_of(lang, program, {"--stdin", "pear apple fig"}));
            EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
            EXPECT_EQ(j.value("stdout", ""), "apple fig pear \n");
            EXPECT_EQ(j.value("language", ""), lang);
        }
    }
    TempDir files;
    write_file(files / "in.txt", "from a file\n");
    const json j = run(run_of("python3", "import sys; print(sys.stdin.read().upper(), end='')",
                              {"--stdin-file", files / "in.txt"}));
    EXPECT_EQ(j.value("stdout", ""), "FROM A FILE\n") << j.dump();
    EXPECT_EQ(j.at("compile_ms"), 0);
}

}  // namespace
