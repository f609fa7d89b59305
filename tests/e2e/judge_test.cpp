// Judging through the real binary: each comparison mode on one pair it must
// accept and one it must reject, checkers and their exit statuses, stopping
// at the first failure, and the setup errors that keep anything from running.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "driver/validator_build.hpp"
#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

// The program echoes its input, so --stdin is the output under test.
json judged(const std::string& output, const std::string& expected, std::vector<std::string> extra = {}) {
    TempDir dir;
    write_file(dir / "answer", expected);
    extra.insert(extra.end(), {"--stdin", output, "--expect-file", dir / "answer"});
    return report_of(run_exec(run_of("bash", "cat\n", extra)));
}

}  // namespace

TEST(Judge, EachModeAcceptsOneAndRejectsOne) {
    struct Pair {
        std::vector<std::string> options;
        std::string output, expected;
        bool passes;
    };
    const std::vector<Pair> pairs = {
        {{"--check", "exact"}, "\xff\x01 x\n", "\xff\x01 x\n", true},  // bytes, not the report's text
        {{"--check", "exact"}, "x", "x\n", false},
        {{"--check", "lines"}, "a b \r\nc\t\n\n", "a b\nc", true},
        {{"--check", "lines"}, "a\nb\n", "a\nb\nc\n", false},  // the last line missing
        {{}, "1\n2  3", "1 2\n3\n", true},                      // tokens by default
        {{}, "1 2", "1 2 3", false},
        {{"--check", "floats"}, "0.300001 x", "0.3 x", true},
        {{"--check", "floats"}, "1.0001", "1", false},
        {{"--check", "floats", "--float-tolerance", "1e-3"}, "1.0001", "1", true},
        {{"--check", "floats"}, "nan", "1", false},
        {{}, "YES", "yes", false},
        {{"--ignore-case"}, "YES", "yes", true},
    };
    for (const Pair& p : pairs) {
        const json j = judged(p.output, p.expected, p.options);
        const auto text = [](const json& v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); };
        SCOPED_TRACE(text(p.options) + " " + text(p.expected) + " " + text(j));
        EXPECT_EQ(j.at("passed"), json(p.passes));
        EXPECT_EQ(j.value("verdict", ""), p.passes ? "OK" : "WA");
        EXPECT_EQ(j.value("ok", !p.passes), p.passes);
        EXPECT_EQ(j.at("check_message").is_null(), p.passes);
        EXPECT_EQ(j.size(), 23u);  // the report's 21 keys and the two of the check
    }
    EXPECT_EQ(judged("4 5\n6 6\n", "4 5\n6 5\n").at("check_message"),
              "line 2, token 2: expected \"5\", got \"6\"");
    EXPECT_EQ(judged("a\nb\n", "a\nb\nc\n", {"--check", "lines"}).at("check_message"),
              "line 3: expected \"c\", but the output ends after 2 lines (the answer has 3)");
}

TEST(Judge, ChecksOnlyARunWhoseOwnVerdictIsOk) {
    TempDir dir;
    write_file(dir / "answer", "x\n");
    const json tle = report_of(
        run_exec(run_of("bash", "echo x; sleep 30\n", {"--timeout", "1", "--expect-file", dir / "answer"})));
    EXPECT_EQ(tle.value("verdict", ""), "TLE");
    EXPECT_TRUE(tle.at("passed").is_null());
    EXPECT_TRUE(tle.at("check_message").is_null());
    // Output cut at the cap keeps its verdict and its ok.
    const json ole = report_of(run_exec(
        run_of("bash", "head -c 3000 /dev/zero\n", {"--max-output-kb", "1", "--expect-file", dir / "answer"})));
    EXPECT_EQ(ole.value("verdict", ""), "OLE");
    EXPECT_EQ(ole.value("ok", false), true);
    EXPECT_TRUE(ole.at("passed").is_null());
}

TEST(Judge, CheckersGetInputOutputAndAnswerAndTheirStatusDecides) {
    TempDir cases, tools, workdir;
    // By the case's input: pass, reject with a message, exit 3, or check that
    // it was given an empty answer file.
    write_file(tools / "checker",
               "#!/bin/sh\n"
               "echo \"$1|$2|$3\" >> " + (tools / "calls") + "\n"
               "case \"$(cat \"$1\")\" in\n"
               "  pass) [ \"$(cat \"$2\")\" = pass ] && [ \"$(cat \"$3\")\" = wanted ] && exit 0; exit 9 ;;\n"
               "  reject) echo 'wanted something else' >&2; exit 1 ;;\n"
               "  crash) exit 3 ;;\n"
               "  *) [ -s \"$3\" ] && exit 9; exit 2 ;;\n"
               "esac\n",
               0755);
    write_file(cases / "1.in", "pass");
    write_file(cases / "1.out", "wanted");
    write_file(cases / "2.in", "reject");
    write_file(cases / "3.in", "crash");
    write_file(cases / "4.in", "none");
    const json j = report_of(run_exec(run_of("bash", "cat\n",
        {"--cases", cases.path(), "--checker", tools / "checker", "--workdir", workdir.path()})));
    ASSERT_EQ(j.at("cases").size(), 4u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[0].value("verdict", ""), "OK") << c[0].dump();
    EXPECT_EQ(c[0].at("passed"), json(true));
    EXPECT_EQ(c[1].value("verdict", ""), "WA");
    EXPECT_EQ(c[1].at("check_message"), "wanted something else");
    EXPECT_EQ(c[2].value("verdict", ""), "FAIL");
    EXPECT_TRUE(c[2].at("passed").is_null());
    EXPECT_EQ(c[2].at("check_message"), "the checker exited with status 3");
    EXPECT_EQ(c[3].value("verdict", ""), "WA");
    EXPECT_EQ(c[3].at("check_message"), "the checker exited with status 2 (presentation error)");
    for (const json& one : c) EXPECT_EQ(one.size(), 17u);
    EXPECT_EQ(j.value("cases_judged", 0), 4);
    EXPECT_EQ(j.value("cases_passed", 0), 1);
    EXPECT_EQ(j.value("verdict", ""), "WA");  // the first case that is not OK
    // Absolute paths in the scratch directory; the checker's copies are gone.
    const std::string calls = read_file(tools / "calls");
    const std::string scratch = workdir / ".tessimar-run";
    EXPECT_EQ(calls.substr(0, calls.find('\n')),
              scratch + "/_tessimar_check_input|" + scratch + "/run.out|" + scratch + "/_tessimar_check_answer");
    for (const std::string& name : list_dir(scratch)) EXPECT_EQ(name.find("_tessimar_check"), std::string::npos);
}

TEST(Judge, KattisValidatorsReadTheOutputOnStdinAndWriteTheirFeedback) {
    TempDir cases, tools, workdir;
    // $1 input, $2 answer, $3 the feedback directory, then the judge args.
    // A feedback directory that an earlier case wrote to fails the case.
    write_file(tools / "validator",
               "#!/bin/sh\n"
               "echo \"$3\" >> " + (tools / "calls") + "\n"
               "[ -e \"$3judgemessage.txt\" ] && exit 5\n"
               "case \"$(cat \"$1\")\" in\n"
               "  same) cat > \"$3got\"; cmp -s \"$3got\" \"$2\" && exit 42\n"
               "        echo differs > \"$3judgemessage.txt\"; exit 43 ;;\n"
               "  reject) echo \"$4 $5\" > \"$3judgemessage.txt\"; echo ignored >&2; exit 43 ;;\n"
               "  *) exit 0 ;;\n"
               "esac\n",
               0755);
    write_file(cases / "1.in", "same");
    write_file(cases / "1.ans", "same");
    write_file(cases / "2.in", "reject");
    write_file(cases / "3.in", "zero");
    write_file(cases / "4.in", "same");
    write_file(cases / "4.ans", "other");
    const json j = report_of(run_exec(run_of(
        "bash", "cat\n",
        {"--cases", cases.path(), "--checker", tools / "validator", "--judge-protocol", "kattis", "--judge-arg",
         "first arg", "--judge-arg", "second", "--workdir", workdir.path()})));
    ASSERT_EQ(j.at("cases").size(), 4u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[0].value("verdict", ""), "OK") << c[0].dump();
    EXPECT_EQ(c[0].at("passed"), json(true));
    EXPECT_EQ(c[1].value("verdict", ""), "WA");
    EXPECT_EQ(c[1].at("check_message"), "first arg second");
    EXPECT_EQ(c[2].value("verdict", ""), "FAIL");
    EXPECT_EQ(c[2].at("check_message"),
              "the checker exited with status 0 (kattis accepts with 42 and rejects with 43)");
    EXPECT_EQ(c[3].value("verdict", ""), "WA") << c[3].dump();
    EXPECT_EQ(c[3].at("check_message"), "differs");
    EXPECT_EQ(j.value("cases_passed", 0), 1);
    // One fresh directory per case, given with its trailing slash, gone
    // after the run with everything the validator wrote into it.
    const std::string scratch = workdir / ".tessimar-run";
    const std::string calls = read_file(tools / "calls");
    std::vector<std::string> dirs;
    for (std::size_t at = 0, end; (end = calls.find('\n', at)) != std::string::npos; at = end + 1)
        dirs.push_back(calls.substr(at, end - at));
    ASSERT_EQ(dirs.size(), 4u) << calls;
    for (std::size_t i = 0; i < dirs.size(); ++i) {
        EXPECT_EQ(dirs[i].rfind(scratch + "/_tessimar_feedback_", 0), 0u) << dirs[i];
        EXPECT_EQ(dirs[i].back(), '/');
        for (std::size_t k = 0; k < i; ++k) EXPECT_NE(dirs[i], dirs[k]);
    }
    for (const std::string& name : list_dir(scratch))
        EXPECT_EQ(name.find("_tessimar_feedback"), std::string::npos) << name;
}

TEST(Judge, StopAtFirstFailureSkipsTheRest) {
    TempDir cases, outside;
    write_file(cases / "1.in", "1");
    write_file(cases / "1.ans", "1");
    write_file(cases / "2.in", "2");
    write_file(cases / "2.ans", "3");
    write_file(cases / "3.in", "3");
    write_file(cases / "3.ans", "3");
    write_file(cases / "4.in", "4");  // no answer
    const std::string program = "x=$(cat); echo \"$x\"; touch " + (outside / "ran") + "-$x\n";
    const json j = report_of(
        run_exec(run_of("bash", program, {"--cases", cases.path(), "--stop-at-first-failure"})));
    ASSERT_EQ(j.at("cases").size(), 4u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[1].value("verdict", ""), "WA");
    for (const int i : {2, 3}) {
        EXPECT_EQ(c[i].value("verdict", ""), "SKIPPED") << c[i].dump();
        EXPECT_EQ(c[i].value("ok", true), false);
        EXPECT_TRUE(c[i].at("exit_code").is_null());
        EXPECT_EQ(c[i].value("duration_ms", 1), 0);
        EXPECT_TRUE(c[i].at("passed").is_null());
    }
    EXPECT_EQ(list_dir(outside.path()), (std::vector<std::string>{"ran-1", "ran-2"}));
    EXPECT_EQ(j.value("cases_judged", 0), 3);  // skipped cases with an answer count
    EXPECT_EQ(j.value("cases_passed", 0), 1);
    EXPECT_EQ(j.at("check_message"), "line 1, token 1: expected \"3\", got \"2\"");
}

TEST(Judge, SetupErrorsRunNothing) {
    TempDir cases, outside;
    write_file(cases / "1.in", "1");
    write_file(cases / "1.out", "1");
    write_file(cases / "1.ans", "1");
    write_file(outside / "plain", "#!/bin/sh\n");
    const std::string program = "touch " + (outside / "ran") + "\n";
    const auto line = [&](std::vector<std::string> extra) { return run_exec(run_of("bash", program, extra)).out; };
    EXPECT_EQ(line({"--cases", cases.path()}),
              "{\"error\":\"case 1 has two expected answers: " + (cases / "1.out") + " and " + (cases / "1.ans") +
                  "\",\"ok\":false}\n");
    unlink((cases / "1.ans").c_str());
    unlink((cases / "1.out").c_str());
    ASSERT_EQ(mkdir((cases / "1.out").c_str(), 0755), 0);
    EXPECT_EQ(line({"--cases", cases.path()}),
              "{\"error\":\"expected answer " + (cases / "1.out") +
                  " is not a regular file (symlink, directory, FIFO, socket or device)\",\"ok\":false}\n");
    EXPECT_EQ(line({"--expect-file", outside / "missing"}),
              "{\"error\":\"cannot read --expect-file " + (outside / "missing") +
                  ": No such file or directory (os error 2)\",\"ok\":false}\n");
    EXPECT_EQ(line({"--check", "Tokens"}),
              "{\"error\":\"unknown --check mode 'Tokens': use exact, lines, tokens or floats\",\"ok\":false}\n");
    for (const char* eps : {"-1", "nan", "1e999", "0x1", ""})
        EXPECT_EQ(line({"--float-tolerance", eps}),
                  std::string("{\"error\":\"invalid --float-tolerance '") + eps +
                      "': a finite, non-negative decimal number is needed\",\"ok\":false}\n");
    EXPECT_EQ(line({"--judge-protocol", "x", "--judge-arg", "a"}),
              "{\"error\":\"unknown --judge-protocol 'x': use testlib or kattis\",\"ok\":false}\n");
    EXPECT_EQ(line({"--checker", outside / "plain"}),
              "{\"error\":\"cannot use --checker " + (outside / "plain") +
                  ": not executable: Permission denied (os error 13)\",\"ok\":false}\n");
    EXPECT_FALSE(exists(outside / "ran"));
}

TEST(Judge, CheckerScoresAddUpOnlyWhenACaseHasOne) {
    TempDir cases, tools;
    // testlib: `points X` on exit 7, X from the case's input.
    write_file(tools / "checker",
               "#!/bin/sh\n"
               "case \"$(cat \"$1\")\" in\n"
               "  plain) exit 0 ;;\n"
               "  wrong) exit 1 ;;\n"
               "  *) echo \"points $(cat \"$1\") of the marks\" >&2; exit 7 ;;\n"
               "esac\n",
               0755);
    for (const auto& [name, input] : std::vector<std::pair<std::string, std::string>>{
             {"1", "1"}, {"2", "0.25"}, {"3", "plain"}, {"4", "wrong"}, {"5", "1.5"}})
        write_file(cases / (name + ".in"), input);
    const json j = report_of(run_exec(run_of("bash", "cat\n", {"--cases", cases.path(), "--checker", tools / "checker"})));
    ASSERT_EQ(j.at("cases").size(), 5u) << j.dump();
    const json& c = j.at("cases");
    EXPECT_EQ(c[0].value("verdict", ""), "OK") << c[0].dump();
    EXPECT_EQ(c[0].at("score"), json(1.0));
    EXPECT_TRUE(c[0].at("check_message").is_null());
    EXPECT_EQ(c[1].value("verdict", ""), "WA");
    EXPECT_EQ(c[1].at("score"), json(0.25));
    EXPECT_EQ(c[1].at("check_message"), "points 0.25 of the marks");
    for (const int i : {2, 3}) EXPECT_FALSE(c[i].contains("score")) << c[i].dump();
    EXPECT_EQ(c[4].value("verdict", ""), "FAIL");
    EXPECT_FALSE(c[4].contains("score"));
    // 1 + 0.25 + 1 (passed without points) + 0 + 0.
    EXPECT_EQ(j.at("score"), json(2.25));
    EXPECT_EQ(j.value("cases_passed", 0), 2);

    // A kattis validator's score.txt when it accepts; a bad one fails the
    // case naming the file; without any score no key appears.
    write_file(tools / "validator",
               "#!/bin/sh\n"
               "case \"$(cat \"$1\")\" in\n"
               "  none) exit 42 ;;\n"
               "  bad) echo 'ten' > \"$3score.txt\"; exit 42 ;;\n"
               "  *) printf ' %s\\n' \"$(cat \"$1\")\" > \"$3score.txt\"; exit 42 ;;\n"
               "esac\n",
               0755);
    TempDir kcases, workdir;
    write_file(kcases / "1.in", "37.5");
    write_file(kcases / "2.in", "none");
    write_file(kcases / "3.in", "bad");
    const std::vector<std::string> kattis = {"--checker", tools / "validator", "--judge-protocol", "kattis",
                                             "--workdir", workdir.path()};
    std::vector<std::string> args = {"--cases", kcases.path()};
    args.insert(args.end(), kattis.begin(), kattis.end());
    const json k = report_of(run_exec(run_of("bash", "cat\n", args)));
    ASSERT_EQ(k.at("cases").size(), 3u) << k.dump();
    EXPECT_EQ(k.at("cases")[0].at("score"), json(37.5));
    EXPECT_FALSE(k.at("cases")[1].contains("score"));
    EXPECT_EQ(k.at("cases")[2].value("verdict", ""), "FAIL");
    const std::string message = k.at("cases")[2].value("check_message", "");
    EXPECT_EQ(message.rfind("the score file " + workdir.path() + "/.tessimar-run/_tessimar_feedback_", 0), 0u)
        << message;
    EXPECT_NE(message.find("/score.txt holds \"ten\", not a finite decimal number"), std::string::npos) << message;
    EXPECT_EQ(k.at("score"), json(38.5));
    write_file(kcases / "1.in", "none");
    unlink((kcases / "3.in").c_str());
    EXPECT_FALSE(report_of(run_exec(run_of("bash", "cat\n", args))).contains("score"));
}

TEST(ValidatorBuild, BuildsOnceFromTheSourcesAndNamesWhatFails) {
    TempDir src, cache, bin;
    // The compiler the runner finds first: g++ behind a wrapper that counts
    // its calls.
    ScopedEnv env;
    env.set("TESSIMAR_RUNTIME_PATH", bin.path() + ":/usr/local/bin:/usr/bin:/bin");
    write_file(bin / "g++", "#!/bin/sh\necho x >> " + (bin / "calls") + "\nexec /usr/bin/g++ \"$@\"\n", 0755);
    ASSERT_EQ(mkdir((src / "v").c_str(), 0755), 0);
    write_file(src / "v/answer.h", "int answer();\n");
    write_file(src / "v/answer.cpp", "#include \"answer.h\"\nint answer() { return 42; }\n");
    write_file(src / "v/main.cpp", "#include <answer.h>\nint main() { return answer(); }\n");
    const tessimar::RunLimits limits = tessimar::with_timeout_ms(tessimar::RunLimits{}, 120000);
    const auto status_of = [](const std::string& program) {
        const int rc = std::system(program.c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    };
    tessimar::Result<std::string> built = tessimar::build_validator(src / "v", cache / "validators", limits);
    ASSERT_TRUE(built.ok()) << built.error();
    EXPECT_EQ(built.value().rfind(cache / "validators/", 0), 0u) << built.value();
    EXPECT_EQ(status_of(built.value()), 42);
    struct stat st;
    ASSERT_EQ(stat((cache / "validators").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    tessimar::Result<std::string> again = tessimar::build_validator(src / "v", cache / "validators", limits);
    ASSERT_TRUE(again.ok()) << again.error();
    EXPECT_EQ(again.value(), built.value());
    EXPECT_EQ(read_file(bin / "calls"), "x\n");  // the second call compiled nothing
    // Changed sources are another program.
    write_file(src / "v/answer.cpp", "#include \"answer.h\"\nint answer() { return 43; }\n");
    tessimar::Result<std::string> changed = tessimar::build_validator(src / "v", cache / "validators", limits);
    ASSERT_TRUE(changed.ok()) << changed.error();
    EXPECT_NE(changed.value(), built.value());
    EXPECT_EQ(status_of(changed.value()), 43);

    // Python: a launcher that runs the cached copy with its arguments.
    write_file(src / "check.py", "import sys\nsys.exit(int(sys.argv[1]) + 1)\n");
    tessimar::Result<std::string> py = tessimar::build_validator(src / "check.py", cache / "validators", limits);
    ASSERT_TRUE(py.ok()) << py.error();
    unlink((src / "check.py").c_str());
    EXPECT_EQ(status_of(py.value() + " 41"), 42);

    // A build script makes `run` in a private copy; the sources stay as they are.
    ASSERT_EQ(mkdir((src / "scripted").c_str(), 0755), 0);
    write_file(src / "scripted/build", "printf '#!/bin/sh\\nexit 42\\n' > run\nchmod +x run\n", 0755);
    tessimar::Result<std::string> scripted = tessimar::build_validator(src / "scripted", cache / "validators", limits);
    ASSERT_TRUE(scripted.ok()) << scripted.error();
    EXPECT_EQ(status_of(scripted.value()), 42);
    EXPECT_FALSE(exists(src / "scripted/run"));

    // A broken source names its file; a link in the sources is refused.
    ASSERT_EQ(mkdir((src / "broken").c_str(), 0755), 0);
    write_file(src / "broken/broken.cpp", "int main() { return nope; }\n");
    tessimar::Result<std::string> broken = tessimar::build_validator(src / "broken", cache / "validators", limits);
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error().rfind("cannot build the validator " + (src / "broken"), 0), 0u) << broken.error();
    EXPECT_NE(broken.error().find("broken.cpp:1"), std::string::npos) << broken.error();
    ASSERT_EQ(symlink("/etc/passwd", (src / "broken/data.h").c_str()), 0);
    tessimar::Result<std::string> linked = tessimar::build_validator(src / "broken", cache / "validators", limits);
    ASSERT_FALSE(linked.ok());
    EXPECT_EQ(linked.error(), "cannot use " + (src / "broken/data.h") + ": it is a symbolic link");
    // Nothing half-built is left behind.
    for (const std::string& name : list_dir(cache / "validators")) EXPECT_NE(name[0], '.') << name;
}
