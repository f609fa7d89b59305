// Interactive problems through the real binary: a guessing game between
// programs in several languages and interactors in Python and C++, and the
// ways such an exchange goes wrong: a program that never flushes, one that
// answers wrong, crashes, or leaves early, an interactor that crashes or
// keeps writing, and a megabyte each way at once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

// The secret is the input's first number; "correct" ends the game. Exit 1
// on a wrong answer, as a contest checker does. MODE (the input's second
// word) changes what it does after the game.
const char* const kPythonInteractor = R"(#!/usr/bin/python3
import os, sys
inp, out, ans = sys.argv[1:4]
words = open(inp).read().split()
secret, mode = int(words[0]), (words[1] if len(words) > 1 else "")
if mode == "crash":
    os.kill(os.getpid(), 11)
if mode == "flood":
    n = 1000000
    sys.stdout.write("x" * n)
    sys.stdout.flush()
    got = sys.stdin.buffer.read(n)
    if len(got) != n:
        print("got %d bytes" % len(got), file=sys.stderr); sys.exit(1)
    sys.exit(0)
for q in range(20):
    line = sys.stdin.readline()
    if not line.strip():
        print("no answer", file=sys.stderr); sys.exit(1)
    g = int(line)
    if g == secret:
        print("correct", flush=True)
        open(out, "w").write("%d\n" % (q + 1))
        if mode == "chatty":
            for _ in range(200):
                sys.stdout.write("y" * 65536)
            sys.stdout.flush()
        print("found in %d" % (q + 1), file=sys.stderr)
        sys.exit(0)
    if mode == "once":
        print("wrong guess", file=sys.stderr); sys.exit(1)
    print("higher" if g < secret else "lower", flush=True)
print("too many guesses", file=sys.stderr)
sys.exit(1)
)";

// When the interactor has gone it waits to be ended rather than fail: an
// end at the same moment as the interactor's would count as the first.
const char* const kPythonGuesser =
    "import sys, time\n"
    "lo, hi = 1, 1000\n"
    "while True:\n"
    "    m = (lo + hi) // 2\n"
    "    print(m, flush=True)\n"
    "    r = sys.stdin.readline().strip()\n"
    "    if not r: time.sleep(60)\n"
    "    if r == 'correct': break\n"
    "    if r == 'higher': lo = m + 1\n"
    "    else: hi = m - 1\n";

const char* const kCppGuesser =
    "#include <iostream>\n#include <string>\n"
    "int main() {\n"
    "    int lo = 1, hi = 1000;\n"
    "    for (std::string r;;) {\n"
    "        int m = (lo + hi) / 2;\n"
    "        std::cout << m << std::endl;\n"
    "        if (!(std::cin >> r) || r == \"correct\") return 0;\n"
    "        if (r == \"higher\") lo = m + 1; else hi = m - 1;\n"
    "    }\n"
    "}\n";

const char* const kJavaGuesser =
    "import java.io.*;\n"
    "public class Main {\n"
    "    public static void main(String[] a) throws IOException {\n"
    "        BufferedReader in = new BufferedReader(new InputStreamReader(System.in));\n"
    "        int lo = 1, hi = 1000;\n"
    "        while (true) {\n"
    "            int m = (lo + hi) / 2;\n"
    "            System.out.println(m);\n"
    "            System.out.flush();\n"
    "            String r = in.readLine();\n"
    "            if (r == null || r.equals(\"correct\")) return;\n"
    "            if (r.equals(\"higher\")) lo = m + 1; else hi = m - 1;\n"
    "        }\n"
    "    }\n"
    "}\n";

// The same game in C++; built with -DACCEPT=42 -DREJECT=43 it speaks the
// package format's protocol (its INPUT is the first argument in both).
const char* const kCppInteractor =
    "#include <fstream>\n#include <iostream>\n#include <string>\n"
    "#ifndef ACCEPT\n#define ACCEPT 0\n#define REJECT 1\n#endif\n"
    "int main(int argc, char** argv) {\n"
    "    if (argc < 4) return 3;\n"
    "    std::ifstream in(argv[1]);\n"
    "    int secret = 0;\n"
    "    in >> secret;\n"
    "    for (int q = 0; q < 20; ++q) {\n"
    "        int g;\n"
    "        if (!(std::cin >> g)) { std::cerr << \"no answer\\n\"; return REJECT; }\n"
    "        if (g == secret) { std::cout << \"correct\" << std::endl; return ACCEPT; }\n"
    "        std::cout << (g < secret ? \"higher\" : \"lower\") << std::endl;\n"
    "    }\n"
    "    std::cerr << \"too many guesses\\n\";\n"
    "    return REJECT;\n"
    "}\n";

class Interactive : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
        interactor = tools / "interactor.py";
        write_file(interactor, kPythonInteractor, 0755);
    }

    json play(const std::string& lang, const std::string& program, const std::string& input,
              std::vector<std::string> extra = {}, const std::string& with = "") {
        extra.insert(extra.end(), {"--interactor", with.empty() ? interactor : with, "--stdin", input});
        if (std::find(extra.begin(), extra.end(), "--timeout") == extra.end())
            extra.insert(extra.end(), {"--timeout", "20"});
        return report_of(run_exec(run_of(lang, program, extra)));
    }

    TempDir tools;
    std::string interactor;
};

void expect_shape(const json& j) {
    ASSERT_TRUE(j.contains("interactor")) << j.dump();
    const json& i = j.at("interactor");
    EXPECT_EQ(i.size(), 5u) << j.dump();
    for (const char* key : {"exit_code", "signal", "exited_first", "cpu_ms", "message"})
        EXPECT_TRUE(i.contains(key)) << key;
    EXPECT_EQ(j.value("stdout", "x"), "");
    EXPECT_TRUE(j.at("stdout_bytes").is_null());
    EXPECT_FALSE(j.contains("transcript"));
}

}  // namespace

TEST_F(Interactive, CorrectProgramsInThreeLanguages) {
    json j = play("python3", kPythonGuesser, "617");
    expect_shape(j);
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("passed"), true);
    EXPECT_EQ(j.at("interactor").at("exit_code"), 0);
    EXPECT_EQ(j.at("interactor").at("message"), "found in 7");
    if (have("/usr/bin/g++")) {
        j = play("cpp", kCppGuesser, "1");
        EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    }
    if (have("/usr/bin/javac")) {
        j = play("java", kJavaGuesser, "1000", {"--timeout", "60"});
        EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    }
}

// The contest protocol's interactor in C++, and a checker that looks at
// what an accepting interactor wrote (here: the number of guesses).
TEST_F(Interactive, CppInteractorAndACheckerOfItsOutput) {
    if (!have("/usr/bin/g++")) GTEST_SKIP() << "no g++";
    write_file(tools / "interactor.cpp", kCppInteractor);
    ASSERT_EQ(std::system(("g++ -O1 -o " + tools / "interactor" + " " + tools / "interactor.cpp").c_str()), 0);
    json j = play("python3", kPythonGuesser, "617", {}, tools / "interactor");
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    j = play("python3", "print(1, flush=True)\ninput()\nprint(1, flush=True)\ninput()\n", "617", {},
             tools / "interactor");
    EXPECT_EQ(j.value("verdict", ""), "WA") << j.dump();
    ASSERT_EQ(std::system(("g++ -O1 -DACCEPT=42 -DREJECT=43 -o " + tools / "kattis" + " " + tools / "interactor.cpp")
                              .c_str()),
              0);
    j = play("python3", kPythonGuesser, "617", {"--judge-protocol", "kattis"}, tools / "kattis");
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("interactor").at("exit_code"), 42);
    j = play("python3", "print(1, flush=True)\n", "617", {"--judge-protocol", "kattis"}, tools / "kattis");
    EXPECT_EQ(j.value("verdict", ""), "WA") << j.dump();
    EXPECT_EQ(j.value("check_message", ""), "no answer");

    write_file(tools / "checker", "#!/bin/sh\n[ \"$(cat \"$2\")\" -le \"$(cat \"$3\")\" ] || { echo slow >&2; exit 1; }\n",
               0755);
    TempDir cases;
    write_file(cases / "a.in", "617");
    write_file(cases / "a.ans", "7");
    write_file(cases / "b.in", "1");
    write_file(cases / "b.ans", "1");  // found in 9 guesses: too many for the checker
    const json all = report_of(run_exec(run_of("python3", kPythonGuesser,
                                               {"--cases", cases.path(), "--interactor", interactor, "--checker",
                                                tools / "checker"})));
    ASSERT_EQ(all.at("cases").size(), 2u) << all.dump();
    EXPECT_EQ(all.at("cases")[0].value("verdict", ""), "OK") << all.dump();
    EXPECT_EQ(all.at("cases")[1].value("verdict", ""), "WA") << all.dump();
    EXPECT_EQ(all.at("cases")[1].value("check_message", ""), "slow");
    EXPECT_EQ(all.at("cases")[0].size(), 18u);  // the case's 17 keys and "interactor"
    EXPECT_EQ(all.value("cases_passed", 0), 1);
    // Stopped at the first failure, the rest are listed and never played.
    write_file(cases / "c.in", "5");
    const json stopped = report_of(run_exec(run_of("python3", kPythonGuesser,
                                                   {"--cases", cases.path(), "--interactor", interactor, "--checker",
                                                    tools / "checker", "--stop-at-first-failure"})));
    ASSERT_EQ(stopped.at("cases").size(), 3u) << stopped.dump();
    EXPECT_EQ(stopped.at("cases")[2].value("verdict", ""), "SKIPPED");
    EXPECT_TRUE(stopped.at("cases")[2].at("interactor").is_null());
    EXPECT_EQ(stopped.value("verdict", ""), "WA");
}

TEST_F(Interactive, ProgramsThatGoWrong) {
    // Never flushes: it waits for a reply the interactor never gets.
    json j = play("python3", "f = open(1, 'w', closefd=False)\nf.write('500\\n')\ninput()\n", "617",
                  {"--timeout", "2"});
    EXPECT_EQ(j.value("verdict", ""), "TLE") << j.dump();
    EXPECT_EQ(j.at("interactor").at("exited_first"), false);
    EXPECT_LT(j.at("duration_ms").get<std::uint64_t>(), 10000u);
    // Answers wrong, then loops: the interactor's rejection ends it.
    j = play("python3", "print(1, flush=True)\nwhile True: pass\n", "617 once");
    EXPECT_EQ(j.value("verdict", ""), "WA") << j.dump();
    EXPECT_EQ(j.at("interactor").at("exited_first"), true);
    EXPECT_EQ(j.value("check_message", ""), "wrong guess");
    // Crashes once the interactor has rejected it. (A crash at the very moment
    // the interactor ends could be seen as the first: the runner counts the
    // program first when it cannot tell.)
    j = play("python3",
             "import os, sys, time\nprint(1, flush=True)\nsys.stdin.read()\ntime.sleep(5)\nos.kill(os.getpid(), 11)\n",
             "617 once");
    EXPECT_EQ(j.value("verdict", ""), "WA") << j.dump();
    // Right, then crashes: the program's own failure.
    j = play("python3", std::string(kPythonGuesser) + "import os\nos.kill(os.getpid(), 11)\n", "617");
    EXPECT_EQ(j.value("verdict", ""), "RTE") << j.dump();
    EXPECT_EQ(j.at("exit_code"), -11);
    // Right, then reads on past the end: the interactor decides.
    j = play("python3", std::string(kPythonGuesser) + "import sys\nsys.stdin.read()\n", "617");
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    // Right, and gone while the interactor still writes 12 MiB: no broken pipe on either side.
    j = play("python3", kPythonGuesser, "617 chatty");
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("interactor").at("exit_code"), 0) << j.dump();
}

TEST_F(Interactive, InteractorFailuresAreNeverTheProgramsAndBigExchangesDoNotDeadlock) {
    json j = play("python3", kPythonGuesser, "617 crash");
    EXPECT_EQ(j.value("verdict", ""), "FAIL") << j.dump();
    EXPECT_EQ(j.at("interactor").at("signal"), 11);
    EXPECT_TRUE(j.at("interactor").at("exit_code").is_null());
    // Both write a megabyte before reading: pipes of a page would deadlock.
    j = play("python3",
             "import sys\nn = 1000000\nsys.stdout.write('x' * n); sys.stdout.flush()\n"
             "got = sys.stdin.buffer.read(n)\nsys.exit(0 if len(got) == n else 1)\n",
             "1 flood", {"--timeout", "30"});
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("exit_code"), 0);

    // A missing or non-executable interactor runs nothing.
    write_file(tools / "plain", "#!/bin/sh\n", 0644);
    for (const std::string& bad : {tools / "missing", tools / "plain"}) {
        j = play("bash", "echo ran\n", "1", {}, bad);
        EXPECT_EQ(j.size(), 2u) << j.dump();
        EXPECT_NE(j.value("error", "").find("cannot use --interactor " + bad), std::string::npos) << j.dump();
    }
}

TEST_F(Interactive, TranscriptThroughTheRelay) {
    json j = play("python3", kPythonGuesser, "617", {"--transcript-kb", "1"});
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    const std::string t = j.value("transcript", "");
    EXPECT_EQ(t.rfind("> 500\n< higher\n> 750\n< lower\n", 0), 0u) << t;
    EXPECT_EQ(t.substr(t.size() - 16), "> 617\n< correct\n") << t;
    EXPECT_EQ(j.at("transcript_truncated"), false);
    EXPECT_EQ(j.at("stdout_bytes"), 28);  // seven guesses of three digits and a line feed
    j = play("python3", kPythonGuesser, "617", {"--transcript-kb", "0"});
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.value("transcript", "x"), "");
    EXPECT_EQ(j.at("transcript_truncated"), true);
    // Through the relay too, a megabyte each way at once.
    j = play("python3",
             "import sys\nn = 1000000\nsys.stdout.write('x' * n); sys.stdout.flush()\n"
             "got = sys.stdin.buffer.read(n)\nsys.exit(0 if len(got) == n else 1)\n",
             "1 flood", {"--timeout", "30", "--transcript-kb", "4"});
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("stdout_bytes"), 1000000);
    EXPECT_EQ(j.value("transcript", "").size(), 4096u);
}

// The package format's interactor: INPUT ANSWER FEEDBACK_DIR/ and the judge's
// arguments, 42 accepts, 43 rejects, its message in judgemessage.txt; and
// the same game through a batch, inline tests giving each exchange's input.
TEST_F(Interactive, PackageFormatInteractorAndBatch) {
    write_file(tools / "kattis.py",
               "#!/usr/bin/python3\n"
               "import sys\n"
               "inp, ans, fb = sys.argv[1:4]\n"
               "secret = int(open(inp).read())\n"
               "assert fb.endswith('/') and sys.argv[4:] == ['--limit', '12'], sys.argv\n"
               "for q in range(int(sys.argv[5])):\n"
               "    g = int(sys.stdin.readline() or 0)\n"
               "    if g == secret:\n"
               "        print('correct', flush=True); sys.exit(42)\n"
               "    print('higher' if g < secret else 'lower', flush=True)\n"
               "open(fb + 'judgemessage.txt', 'w').write('too many guesses')\n"
               "sys.exit(43)\n",
               0755);
    const std::vector<std::string> kattis = {"--judge-protocol", "kattis", "--judge-arg", "--limit", "--judge-arg",
                                             "12"};
    json j = play("python3", kPythonGuesser, "617", kattis, tools / "kattis.py");
    EXPECT_EQ(j.value("verdict", ""), "OK") << j.dump();
    EXPECT_EQ(j.at("interactor").at("exit_code"), 42);
    j = play("python3", "import sys, time\nwhile True:\n    print(1, flush=True)\n    sys.stdin.readline() or time.sleep(60)\n",
             "617", kattis, tools / "kattis.py");
    EXPECT_EQ(j.value("verdict", ""), "WA") << j.dump();
    EXPECT_EQ(j.value("check_message", ""), "too many guesses");
    EXPECT_EQ(j.at("interactor").at("message"), "too many guesses");
    // The format has no checker beside its interactor.
    std::vector<std::string> with_checker = kattis;
    with_checker.insert(with_checker.end(), {"--checker", tools / "kattis.py"});
    j = play("python3", kPythonGuesser, "617", with_checker, tools / "kattis.py");
    EXPECT_NE(j.value("error", "").find("--checker cannot be used with --interactor"), std::string::npos) << j.dump();

    Invocation inv = run_of("bash", "", {});
    inv.args = {"--batch", "-"};
    inv.input = json{{"id", "g"},
                     {"lang", "python3"},
                     {"program", kPythonGuesser},
                     {"interactor", interactor},
                     {"transcript_kb", 1},
                     {"tests", json::array({json{{"stdin", "617"}}, json{{"stdin", "3 once"}}})}}
                    .dump() +
                "\n";
    const ProcessResult batch = run_exec(inv);
    const json line = json::parse(batch.out, nullptr, false);
    ASSERT_TRUE(line.is_object()) << batch.out << batch.err;
    EXPECT_EQ(line.value("id", ""), "g");
    ASSERT_EQ(line.at("cases").size(), 2u) << line.dump();
    EXPECT_EQ(line.at("cases")[0].value("verdict", ""), "OK") << line.dump();
    EXPECT_EQ(line.at("cases")[0].value("transcript", "").rfind("> 500\n< higher\n", 0), 0u) << line.dump();
    EXPECT_EQ(line.at("cases")[1].value("verdict", ""), "WA") << line.dump();
}

// A problem package whose validator is its interactor (type: interactive).
TEST(InteractivePackage, TheValidatorIsTheInteractorOfEveryCase) {
    const char* bisect =
        "lo, hi = 1, 1000\n"
        "while True:\n"
        "    mid = (lo + hi) // 2\n"
        "    print(mid, flush=True)\n"
        "    answer = input()\n"
        "    if answer == 'correct':\n"
        "        break\n"
        "    if answer == 'higher':\n"
        "        lo = mid + 1\n"
        "    else:\n"
        "        hi = mid - 1\n";
    TempDir cache;
    Invocation inv = run_of("python3", bisect, {"--problem", std::string(TESSIMAR_TEST_PACKAGES) + "/interactive"});
    inv.set["XDG_CACHE_HOME"] = cache.path();
    json j = report_of(run_exec(inv));
    ASSERT_EQ(j.value("cases", json::array()).size(), 2u) << j.dump();
    for (const json& c : j.at("cases")) {
        EXPECT_EQ(c.value("verdict", ""), "OK") << c.dump();
        EXPECT_EQ(c.at("interactor").value("exit_code", 0), 42) << c.dump();
        EXPECT_EQ(c.at("interactor").value("message", "").rfind("found in ", 0), 0u) << c.dump();
    }
    EXPECT_EQ(j.value("verdict", ""), "OK");

    // Always 500: never found; the interactor rejects and the pass-fail problem ends there.
    // The program waits to be ended, so that the interactor is surely first.
    inv.input =
        "import time\n"
        "try:\n"
        "    print(500, flush=True)\n"
        "    while input() != 'correct':\n"
        "        print(500, flush=True)\n"
        "except EOFError:\n"
        "    time.sleep(60)\n";
    j = report_of(run_exec(inv));
    ASSERT_EQ(j.value("cases", json::array()).size(), 2u) << j.dump();
    EXPECT_EQ(j.at("cases").at(0).value("verdict", ""), "WA") << j.dump();
    EXPECT_EQ(j.at("cases").at(0).at("interactor").value("message", ""), "not found") << j.dump();
    EXPECT_EQ(j.at("cases").at(1).value("verdict", ""), "SKIPPED");
    EXPECT_EQ(j.value("verdict", ""), "WA");
}
