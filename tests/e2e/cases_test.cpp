// One program compiled once and run over a directory of inputs (--cases):
// order, the top level's choice, refused entries, isolation between cases,
// and the runner's memory as the number of cases grows.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

const std::vector<std::string> kCaseKeys = {
    "cpu_ms", "duration_ms", "exit_code", "name", "ok", "output_error", "output_truncated",
    "peak_memory_kb", "spawn_error", "stderr", "stderr_bytes", "stdout", "stdout_bytes", "timed_out",
    "verdict"};

std::vector<std::string> keys_of(const json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

std::vector<std::string> names_of(const json& report) {
    std::vector<std::string> names;
    for (const json& c : report.at("cases")) names.push_back(c.at("name").get<std::string>());
    return names;
}

Invocation cases_run(const std::string& lang, const std::string& program, const std::string& dir,
                     std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--cases", dir});
    return run_of(lang, program, extra);
}

// Doubles the number it reads; "sleep" sleeps past any timeout of the tests.
const char* kDoublePy =
    "import sys, time\n"
    "s = sys.stdin.read().strip()\n"
    "if s == 'sleep':\n"
    "    time.sleep(60)\n"
    "print(int(s) * 2)\n";

TEST(Cases, NaturalOrderOneLineAndTheLastCaseAtTheTopLevel) {
    TempDir dir, tmp;
    write_file(dir / "10.in", "10\n");
    write_file(dir / "2.in", "2\n");
    write_file(dir / "1.in", "1\n");
    write_file(dir / "a02.in", "7\n");
    write_file(dir / "a1.in", "6\n");
    write_file(dir / "notes.txt", "not a case\n");
    Invocation inv = cases_run("python3", kDoublePy, dir.path(), {"--stdin", "99"});
    inv.set["TMPDIR"] = tmp.path();
    const ProcessResult r = run_exec(inv);
    const json j = report_of(r);

    EXPECT_EQ(r.out.rfind("{\"cases\":[{", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1);
    EXPECT_EQ(names_of(j), (std::vector<std::string>{"1", "2", "10", "a1", "a02"}));
    const std::vector<std::string> outputs = {"2\n", "4\n", "20\n", "12\n", "14\n"};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const json& c = j.at("cases").at(i);
        EXPECT_EQ(keys_of(c), kCaseKeys);
        EXPECT_EQ(c.value("stdout", ""), outputs[i]) << c.dump();  // its own input, not --stdin
        EXPECT_EQ(c.value("verdict", ""), "OK");
        EXPECT_EQ(c.value("ok", false), true);
    }
    // All passed: the top level is the last case's run report.
    EXPECT_EQ(j.value("verdict", ""), "OK");
    EXPECT_EQ(j.value("ok", false), true);
    EXPECT_EQ(j.value("phase", ""), "run");
    EXPECT_EQ(j.value("stdout", ""), "14\n");
    EXPECT_EQ(j.value("duration_ms", 0u), j.at("cases").at(4).value("duration_ms", 1u));
    EXPECT_TRUE(list_dir(tmp.path()).empty());  // the created work directory is gone
}

TEST(Cases, TheFirstCaseThatIsNotOkDecidesTheTopLevelAndTheRestStillRun) {
    TempDir dir;
    write_file(dir / "1.in", "1\n");
    write_file(dir / "2.in", "sleep\n");
    write_file(dir / "3.in", "x\n");
    write_file(dir / "4.in", "4\n");
    const json j = report_of(run_exec(cases_run("python3", kDoublePy, dir.path(), {"--timeout", "3"})));

    ASSERT_EQ(j.at("cases").size(), 4u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[0].value("verdict", ""), "OK");
    EXPECT_EQ(c[1].value("verdict", ""), "TLE");
    EXPECT_EQ(c[1].value("timed_out", false), true);
    EXPECT_EQ(c[1].at("exit_code"), json(-9));
    EXPECT_EQ(c[2].value("verdict", ""), "RTE");  // int('x') fails
    EXPECT_EQ(c[3].value("verdict", ""), "OK");   // full timeout again after the timed-out case
    EXPECT_EQ(c[3].value("stdout", ""), "8\n");
    EXPECT_EQ(j.value("verdict", ""), "TLE");
    EXPECT_EQ(j.value("ok", true), false);
    EXPECT_EQ(j.value("timed_out", false), true);
    EXPECT_EQ(j.value("stderr", ""), c[1].value("stderr", "?"));
}

TEST(Cases, AnEntryThatIsNotARegularFileRefusesTheWholeDirectory) {
    TempDir outside;
    write_file(outside / "target", "1\n");
    for (const std::string kind : {"link", "fifo", "directory"}) {
        SCOPED_TRACE(kind);
        TempDir dir, tmp;
        write_file(dir / "1.in", "1\n");
        const std::string bad = dir / "2.in";
        int made = -1;
        if (kind == "link") made = symlink((outside / "target").c_str(), bad.c_str());
        if (kind == "fifo") made = mkfifo(bad.c_str(), 0644);
        if (kind == "directory") made = mkdir(bad.c_str(), 0755);
        ASSERT_EQ(made, 0);
        Invocation inv = cases_run("python3", "open('" + (outside / "ran") + "', 'w')\n", dir.path());
        inv.set["TMPDIR"] = tmp.path();
        const ProcessResult r = run_exec(inv);
        EXPECT_EQ(r.out, "{\"error\":\"case file " + bad +
                             " is not a regular file (symlink, directory, FIFO, socket or device)\","
                             "\"ok\":false}\n");
        EXPECT_FALSE(exists(outside / "ran"));
        EXPECT_TRUE(list_dir(tmp.path()).empty());
    }
}

TEST(Cases, DirectorySetupErrors) {
    TempDir dir;
    write_file(dir / "readme.txt", "no cases here\n");
    EXPECT_EQ(run_exec(cases_run("python3", "print(1)\n", dir.path())).out,
              "{\"error\":\"no cases in " + dir.path() + ": no file name ends in .in\",\"ok\":false}\n");
    EXPECT_EQ(run_exec(cases_run("python3", "print(1)\n", dir / "missing")).out,
              "{\"error\":\"cannot open cases directory " + (dir / "missing") +
                  ": No such file or directory (os error 2)\",\"ok\":false}\n");
    for (int i = 0; i <= 1000; ++i) write_file(dir / (std::to_string(i) + ".in"), "");
    EXPECT_EQ(run_exec(cases_run("python3", "print(1)\n", dir.path())).out,
              "{\"error\":\"too many cases in " + dir.path() +
                  ": more than 1000 file names end in .in\",\"ok\":false}\n");
}

TEST(Cases, NoCaseSeesWhatAnEarlierCaseLeftInACreatedWorkDirectory) {
    TempDir dir, outside, workdir;
    write_file(dir / "1.in", "");
    write_file(dir / "2.in", "");
    write_file(outside / "victim", "keep\n");
    // Each case reports whether an earlier one left its marks, then leaves
    // them: files, a tree, a link, and its output file replaced by a link.
    const std::string program =
        "import os\n"
        "import sys\n"
        "print('seen' if os.path.lexists('left.txt') else 'fresh', file=sys.stderr)\n"
        "open('left.txt', 'w').write('x')\n"
        "os.makedirs('tree/deeper', exist_ok=True)\n"
        "open('tree/deeper/f', 'w').write('x')\n"
        "if not os.path.lexists('link'): os.symlink('" + outside.path() + "', 'link')\n"
        "os.chmod('tree', 0)\n"
        "out = '.tessimar-run/run.out'\n"
        "os.unlink(out)\n"
        "os.symlink('" + (outside / "victim") + "', out)\n";

    const json created = report_of(run_exec(cases_run("python3", program, dir.path())));
    ASSERT_EQ(created.at("cases").size(), 2u) << created.dump();
    for (const json& c : created.at("cases")) {
        // Each case starts with fresh phase files although the one before
        // left a link in place of its output file.
        EXPECT_EQ(c.value("verdict", ""), "OK") << c.dump();
        EXPECT_EQ(c.value("stderr", ""), "fresh\n") << c.dump();
    }
    EXPECT_EQ(read_file(outside / "victim"), "keep\n");
    EXPECT_EQ(list_dir(outside.path()), (std::vector<std::string>{"victim"}));

    // A caller's work directory is left as it is between cases.
    const json given =
        report_of(run_exec(cases_run("python3", program, dir.path(), {"--workdir", workdir.path()})));
    ASSERT_EQ(given.at("cases").size(), 2u) << given.dump();
    EXPECT_EQ(given.at("cases").at(0).value("stderr", ""), "fresh\n") << given.dump();
    EXPECT_EQ(given.at("cases").at(1).value("stderr", ""), "seen\n") << given.dump();
    EXPECT_TRUE(exists(workdir / "left.txt"));
    EXPECT_EQ(read_file(outside / "victim"), "keep\n");
}

TEST(Cases, CompiledOnceAndRunPerCase) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    write_file(dir / "1.in", "5\n");
    write_file(dir / "2.in", "oops\n");
    write_file(dir / "3.in", "vanish\n");
    write_file(dir / "4.in", "7\n");
    // "vanish" removes the compiled program: the next case cannot start.
    const std::string program =
        "#include <stdio.h>\n#include <string.h>\n#include <unistd.h>\n"
        "int main(void) { char w[32]; int n;\n"
        "  if (scanf(\"%31s\", w) != 1) return 4;\n"
        "  if (strcmp(w, \"vanish\") == 0) return unlink(\".tessimar-run/a.out\") == 0 ? 0 : 5;\n"
        "  if (sscanf(w, \"%d\", &n) != 1) return 3;\n"
        "  printf(\"%d\\n\", n * 3); return 0; }\n";
    const json j = report_of(run_exec(cases_run("c", program, dir.path())));
    ASSERT_EQ(j.at("cases").size(), 4u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[0].value("stdout", ""), "15\n");
    EXPECT_EQ(c[1].at("exit_code"), json(3));
    EXPECT_EQ(c[2].value("verdict", ""), "OK") << c[2].dump();
    EXPECT_EQ(c[3].value("verdict", ""), "RTE");
    EXPECT_EQ(c[3].at("exit_code"), json(nullptr));
    EXPECT_TRUE(c[3].at("spawn_error").is_string()) << c[3].dump();
    // The top level is the first case that was not "OK".
    EXPECT_EQ(j.value("verdict", ""), "RTE");
    EXPECT_EQ(j.at("exit_code"), json(3));
    EXPECT_FALSE(j.contains("error"));
    EXPECT_GT(j.value("compile_ms", 0u), 0u);

    const ProcessResult bad = run_exec(cases_run("c", "int main(void) {\n", dir.path()));
    const json f = report_of(bad);
    EXPECT_EQ(bad.out.rfind("{\"cases\":[],\"compile_ms\":", 0), 0u) << bad.out;
    EXPECT_EQ(f.value("phase", ""), "compile");
    EXPECT_EQ(f.value("ok", true), false);
}

// 300 cases that each print 64 KiB (the default cap) against 20 such cases:
// the runner's peak must not follow the number of cases. ru_maxrss is the
// largest of the runner and the children it reaped, so the program is a
// small shell pipeline that no runner growth can hide behind.
TEST(Cases, RunnerMemoryDoesNotGrowWithTheNumberOfCases) {
    // The sanitizer runtime keeps freed memory in quarantine (up to 256 MiB):
    // the figure would measure that, not the runner.
    if (kRunnerSanitized) GTEST_SKIP() << "the sanitized runner's resident size is not its own";
    const std::string program = "head -c 65536 /dev/zero | tr '\\0' x\n";
    const auto peak_kb = [&](int count) {
        TempDir dir;
        for (int i = 0; i < count; ++i) write_file(dir / (std::to_string(i) + ".in"), "");
        const ProcessResult r = run_exec(cases_run("bash", program, dir.path()));
        const json j = report_of(r);
        EXPECT_EQ(j.at("cases").size(), static_cast<std::size_t>(count));
        EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump().substr(0, 2000);
        EXPECT_EQ(j.at("cases").back().value("stdout_bytes", 0u), 65536u);
        return r.max_rss_kb;
    };
    const long few = peak_kb(20);
    const long many = peak_kb(300);
    std::printf("runner peak: %ld KiB for 20 cases, %ld KiB for 300\n", few, many);
    EXPECT_LT(many, 64 * 1024);
    EXPECT_LT(many - few, 8 * 1024) << "20 cases: " << few << " KiB, 300 cases: " << many << " KiB";
}

// A child's peak memory is its own: the runner lets go of the input it
// wrote to the .in file before the child is forked, or the child would
// count the runner's copy (here 40 MB) in its peak, in a single run and in
// every case after a large one.
TEST(Cases, ChildPeakMemoryLeavesOutTheRunnersCopyOfTheInput) {
    if (kRunnerSanitized) GTEST_SKIP() << "the sanitized runner's resident size is not its own";
    TempDir dir;
    const std::string big(40 * 1000 * 1000, 'x');
    write_file(dir / "1.in", big);
    write_file(dir / "2.in", "small\n");
    const json cases = report_of(run_exec(cases_run("bash", "cat > /dev/null\n", dir.path())));
    ASSERT_EQ(cases.at("cases").size(), 2u) << cases.dump().substr(0, 2000);
    for (const json& c : cases.at("cases")) {
        EXPECT_EQ(c.value("verdict", ""), "OK") << c.dump();
        EXPECT_LT(c.value("peak_memory_kb", 0u), 20u * 1024) << c.dump();
    }
    const json single = report_of(run_exec(run_of("bash", "true\n", {"--stdin-file", dir / "1.in"})));
    EXPECT_EQ(single.value("verdict", ""), "OK") << single.dump();
    EXPECT_LT(single.value("peak_memory_kb", 0u), 20u * 1024) << single.dump();
}

}  // namespace
