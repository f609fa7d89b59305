// The command line and the entry, seen from outside: the binary is started as
// a real process and its exact output bytes, standard error and exit status
// are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"

extern char** environ;

using namespace testing_support;

namespace {

const std::string kAvailable =
    "python3, node, bun, deno, typescript, ruby, php, perl, lua, tcl, r, elixir, erlang, bash, zsh, "
    "mojo, swift, c, cpp, c++, rust, go, fortran, zig, java, kotlin, csharp, gleam, haskell, sqlite, "
    "jq, awk";

const std::string kLanguagesLine =
    "[\"python3\",\"node\",\"bun\",\"deno\",\"typescript\",\"ruby\",\"php\",\"perl\",\"lua\",\"tcl\","
    "\"r\",\"elixir\",\"erlang\",\"bash\",\"zsh\",\"mojo\",\"swift\",\"c\",\"cpp\",\"c++\",\"rust\","
    "\"go\",\"fortran\",\"zig\",\"java\",\"kotlin\",\"csharp\",\"gleam\",\"haskell\",\"sqlite\","
    "\"jq\",\"awk\"]\n";

// `escaped` is the language text as it appears inside the JSON string.
std::string unknown_line(const std::string& escaped) {
    return "{\"error\":\"unknown language '" + escaped + "'. Available: " + kAvailable +
           "\",\"ok\":false}\n";
}

ProcessResult run_args(std::vector<std::string> args, std::string input = "") {
    Invocation inv;
    inv.args = std::move(args);
    inv.input = std::move(input);
    return run_exec(inv);
}

// Runs a bash program with the given options after `--lang bash`.
ProcessResult run_bash(const std::string& program, const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--lang", "bash"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_args(args, program);
}

// The CPU limit (`ulimit -t`) that the child of a bash run sees.
std::string child_cpu_limit(const std::vector<std::string>& extra) {
    const ProcessResult r = run_bash("ulimit -t\n", extra);
    EXPECT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    return j["stdout"].get<std::string>();
}

std::vector<std::string> current_env_with(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string& x : extra)
            if (std::strncmp(*e, x.c_str(), x.find('=') + 1) == 0) replaced = true;
        if (!replaced) env.emplace_back(*e);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (auto& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

// ---------------------------------------------------------------------------
// Language selection through the command line

TEST(CliLanguage, LangAsOnlyArgumentGivesTheEmptyUnknownLanguageObject) {
    const ProcessResult r = run_args({"--lang"}, "print('x')\n");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, unknown_line(""));
    EXPECT_EQ(r.out,
              "{\"error\":\"unknown language ''. Available: python3, node, bun, deno, typescript, ruby, "
              "php, perl, lua, tcl, r, elixir, erlang, bash, zsh, mojo, swift, c, cpp, c++, rust, go, "
              "fortran, zig, java, kotlin, csharp, gleam, haskell, sqlite, jq, awk\",\"ok\":false}\n");
    EXPECT_EQ(r.err, "");

    const ProcessResult none = run_args({});
    EXPECT_EQ(none.exit_code(), 0);
    EXPECT_EQ(none.out, unknown_line(""));
}

TEST(CliLanguage, UnknownNameIsQuotedVerbatimAndEscaped) {
    const ProcessResult spaced = run_args({"--lang", "  Foo "}, "x");
    EXPECT_EQ(spaced.exit_code(), 0);
    EXPECT_EQ(spaced.out, unknown_line("  Foo "));
    EXPECT_EQ(spaced.err, "");

    const ProcessResult quoted = run_args({"--lang", "a\"b\\c"}, "x");
    EXPECT_EQ(quoted.exit_code(), 0);
    EXPECT_EQ(quoted.out, unknown_line("a\\\"b\\\\c"));

    // A value that looks like an option is still the value.
    const ProcessResult option_like = run_args({"--lang", "--no-net"}, "x");
    EXPECT_EQ(option_like.out, unknown_line("--no-net"));
}

TEST(CliLanguage, InvalidUtf8ArgumentBecomesReplacementCharacter) {
    const ProcessResult r = run_args({"--lang", "\xff"}, "x");
    EXPECT_TRUE(r.exited());
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, unknown_line("\xEF\xBF\xBD"));

    const ProcessResult mixed = run_args({"--lang", "py\xc3(x"}, "x");
    EXPECT_EQ(mixed.exit_code(), 0);
    EXPECT_EQ(mixed.out, unknown_line("py\xEF\xBF\xBD(x"));
}

// Case mapping beyond ASCII needs the C library's locale data, which the
// statically linked runner loads itself: U+212A KELVIN SIGN lower-cases to
// "k". A timeout of 0 ends the compile at once, installed or not.
TEST(CliLanguage, NonAsciiCaseMappingWorksInTheBuiltRunner) {
    const ProcessResult r = run_args({"--lang", "\xE2\x84\xAA" "OTLIN", "--timeout", "0"}, "");
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.json()["language"], "kotlin") << r.out;
}

TEST(CliLanguage, EqualsFormIsSkippedAndStrayWordsAreIgnored) {
    const ProcessResult equals = run_args({"--lang=python3"}, "print('hi')\n");
    EXPECT_EQ(equals.exit_code(), 0);
    EXPECT_EQ(equals.out, unknown_line(""));

    const ProcessResult stray = run_args({"main.py", "--lang", "python3", "extra"}, "print('hi')\n");
    ASSERT_EQ(stray.exit_code(), 0) << stray.err;
    const auto j = stray.json();
    EXPECT_EQ(j["verdict"], "OK") << stray.out;
    EXPECT_EQ(j["stdout"], "hi\n");
    EXPECT_EQ(j["language"], "python3");
}

// ---------------------------------------------------------------------------
// Mode selection

TEST(CliModes, DiscoveryOptionsWinWhereverTheyStand) {
    const ProcessResult probe = run_args({"--probe"});
    ASSERT_EQ(probe.exit_code(), 0);
    ASSERT_FALSE(probe.out.empty());
    EXPECT_EQ(probe.out.front(), '{');

    const ProcessResult cap_lang = run_args({"--capabilities", "--languages"});
    EXPECT_EQ(cap_lang.exit_code(), 0);
    EXPECT_EQ(cap_lang.out, kLanguagesLine);

    const ProcessResult lang_probe = run_args({"--languages", "--probe"});
    EXPECT_EQ(lang_probe.exit_code(), 0);
    EXPECT_EQ(lang_probe.out, probe.out);

    // As the value of another option it still selects the mode.
    const ProcessResult as_value = run_args({"--stdin", "--probe", "--lang", "python3"}, "print(1)\n");
    EXPECT_EQ(as_value.out, probe.out);

    const ProcessResult with_lang = run_args({"--lang", "python3", "--probe"}, std::string(4 << 20, 'x'));
    EXPECT_EQ(with_lang.exit_code(), 0);
    EXPECT_EQ(with_lang.out, probe.out);
    EXPECT_EQ(with_lang.err, "");
}

namespace {

// Runs the binary with a standard input whose write end stays open, so that a
// runner that read it would never finish; returns what it printed.
ProcessResult run_with_open_stdin(const std::vector<std::string>& args) {
    ProcessResult result;
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return result;
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    std::vector<std::string> argv = {kExec};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv = c_strings(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        signal(SIGPIPE, SIG_DFL);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    bool eof = pid < 0;
    const double deadline = monotonic_seconds() + 60;
    while (!eof && monotonic_seconds() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[4096];
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) eof = true;
        else result.out.append(buf, static_cast<std::size_t>(n));
    }
    if (!eof) {
        kill(pid, SIGKILL);
        result.err = "waited for standard input";
    }
    if (pid > 0) waitpid(pid, &result.status, 0);
    close(in[1]);
    close(out[0]);
    return result;
}

}  // namespace

TEST(CliModes, ProbeDoesNotReadStandardInput) {
    const ProcessResult reference = run_args({"--probe"});
    ASSERT_EQ(reference.exit_code(), 0);
    const ProcessResult r = run_with_open_stdin({"--lang", "python3", "--probe"});
    ASSERT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code(), 0);
    EXPECT_EQ(r.out, reference.out);
}

// --help and --version: plain text, exit 0, standard input untouched; as the
// value of a value option they change nothing about a run.
TEST(CliModes, HelpAndVersion) {
    const ProcessResult version = run_with_open_stdin({"--lang", "python3", "--version"});
    ASSERT_EQ(version.err, "");
    EXPECT_EQ(version.exit_code(), 0);
    EXPECT_EQ(version.out, std::string("tessimar-exec ") + TESSIMAR_PROJECT_VERSION + "\n");

    const ProcessResult help = run_with_open_stdin({"--version", "--help"});
    ASSERT_EQ(help.err, "");
    EXPECT_EQ(help.exit_code(), 0);
    for (const char* name : {"--lang", "--timeout", "--max-cpu", "--max-memory-mb", "--max-output-kb",
                             "--stdin", "--stdin-file", "--workdir", "--no-net", "--languages", "--probe",
                             "--capabilities", "--help", "--version", "--contain", "--cases", "--batch",
                             "--jobs", "--out", "--first-line", "--max-line-mb", "man tessimar-exec"})
        EXPECT_NE(help.out.find(name), std::string::npos) << name;
    EXPECT_EQ(help.out.find('{'), std::string::npos);

    // Discovery wins over both.
    EXPECT_EQ(run_args({"--help", "--languages"}).out, kLanguagesLine);

    const ProcessResult as_value = run_args({"--lang", "bash", "--stdin", "--help"}, "cat\n");
    EXPECT_EQ(as_value.exit_code(), 0);
    EXPECT_EQ(as_value.json()["stdout"], "--help");
}

// ---------------------------------------------------------------------------
// The child's standard input

TEST(CliStdin, StdinTextAndStdinFile) {
    TempDir dir;
    {
        const ProcessResult r = run_bash("cat\n", {"--stdin", "hello"});
        ASSERT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.json()["stdout"], "hello");
    }
    write_file(dir / "in.txt", "from the file\n\xC3\xA9\n");
    {
        // The file wins even when --stdin comes after it.
        const ProcessResult r = run_bash("cat\n", {"--stdin-file", dir / "in.txt", "--stdin", "hello"});
        ASSERT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.json()["stdout"], "from the file\n\xC3\xA9\n");
    }
}

// The child reads exactly the bytes of its --stdin-file, whatever they are.
TEST(CliStdin, BytesReachTheChildExactly) {
    TempDir dir;
    std::string every_byte;
    for (int b = 0; b < 256; ++b) every_byte.push_back(static_cast<char>(b));
    write_file(dir / "all.bin", every_byte);
    const std::string digest = "od -An -v -tx1 | tr -d ' \\n'\n";
    std::string want;
    for (int b = 0; b < 256; ++b) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", b);
        want += hex;
    }
    const ProcessResult r = run_bash(digest, {"--stdin", "hello", "--stdin-file", dir / "all.bin"});
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.json()["stdout"], want) << r.out;
}

// A --stdin-file that cannot be read is said, and nothing runs.
TEST(CliStdin, UnreadableStdinFileIsASetupError) {
    TempDir dir, tmp;
    const std::string missing = dir / "missing";
    const struct {
        std::string path, reason;
    } cases[] = {
        {missing, "No such file or directory (os error 2)"},
        {dir.path(), "Is a directory (os error 21)"},
    };
    for (const auto& c : cases) {
        Invocation inv;
        inv.args = {"--lang", "bash", "--stdin", "hello", "--stdin-file", c.path};
        inv.input = "touch /dev/null; echo ran\n";
        inv.set["TMPDIR"] = tmp.path();
        const ProcessResult r = run_exec(inv);
        ASSERT_EQ(r.exit_code(), 0) << r.err;
        EXPECT_EQ(r.out, "{\"error\":\"cannot read --stdin-file " + c.path + ": " + c.reason + "\",\"ok\":false}\n");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(list_dir(tmp.path()).empty()) << "no work directory is created";
    }
}

// Standard input that cannot be read fails the run instead of running a
// part of the program.
TEST(CliStdin, UnreadableProgramIsASetupError) {
    TempDir tmp;
    Invocation inv;
    inv.args = {"--lang", "bash"};
    inv.wrapper = {"/bin/sh", "-c", "exec \"$@\" </", "sh"};
    inv.set["TMPDIR"] = tmp.path();
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"error\":\"cannot read the program from standard input: Is a directory (os error 21)\",\"ok\":false}\n");
    EXPECT_TRUE(list_dir(tmp.path()).empty());
}

// The program is written byte for byte; its own tool judges the encoding.
TEST(CliStdin, ProgramBytesAreKept) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "python3 is not installed";
    TempDir w;
    const std::string program = "# caf\xe9\nprint(\"hello\")\nraise SystemExit(3)\n";
    const ProcessResult r = run_exec(run_of("python3", program, {"--workdir", w.path()}));
    const auto j = report_of(r);
    EXPECT_EQ(j["verdict"], "RTE") << r.out;
    EXPECT_EQ(j["ok"], false);
    EXPECT_NE(j["stderr"].get<std::string>().find("SyntaxError"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(w / ".tessimar-run/main.py"), program);
}

TEST(CliStdin, Latin1CommentInCCompilesAndRuns) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "gcc is not installed";
    const std::string program = "/* caf\xe9 */\n#include <stdio.h>\nint main(void) { puts(\"hello\"); return 0; }\n";
    const ProcessResult r = run_exec(run_of("c", program));
    const auto j = report_of(r);
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    EXPECT_EQ(j["stdout"], "hello\n");
}

// ---------------------------------------------------------------------------
// Numeric options, observed through the CPU limit the child gets (timeout + 8
// when --max-cpu is not given).

TEST(CliNumbers, TimeoutValuesReachTheChildCpuLimit) {
    EXPECT_EQ(child_cpu_limit({}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "5"}), "13\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "+5"}), "13\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "007"}), "15\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "-5"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "5s"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "1.5"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", " 5"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", ""}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "+"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "0x5"}), "18\n");
    // An invalid later occurrence resets to the default; a missing value at
    // the end of the line keeps the earlier one.
    EXPECT_EQ(child_cpu_limit({"--timeout", "5", "--timeout", "x"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "5", "--timeout"}), "13\n");
    EXPECT_EQ(child_cpu_limit({"--timeout", "5", "--timeout", "6"}), "14\n");
}

TEST(CliNumbers, MaxCpuAcceptsTheFull64BitRange) {
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "3"}), "3\n");
    // 2^64 - 1 is RLIM_INFINITY.
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "18446744073709551615"}), "unlimited\n");
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "18446744073709551616"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "99999999999999999999999"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "3", "--max-cpu", "-0"}), "18\n");
    EXPECT_EQ(child_cpu_limit({"--max-cpu", "3", "--timeout", "30"}), "3\n");
}

// ---------------------------------------------------------------------------
// Delivery of the report

// The report cannot be written: the runner ends with status 1 (not by
// SIGPIPE) and has still removed the work directory it created.
TEST(CliOutput, BrokenStandardOutputExitsOneAndCleansUp) {
    TempDir files;
    TempDir base;
    write_file(files / "prog.py", "print('hi')\n");

    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    close(out[0]);
    std::vector<std::string> argv = {kExec, "--lang", "python3"};
    std::vector<std::string> env = current_env_with({"TMPDIR=" + base.path()});
    std::vector<char*> cargv = c_strings(argv);
    std::vector<char*> cenv = c_strings(env);
    const std::string prog = files / "prog.py";
    const std::string err_path = files / "stderr";

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int in_fd = open(prog.c_str(), O_RDONLY);
        const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in_fd, 0);
        dup2(out[1], 1);
        dup2(err_fd, 2);
        signal(SIGPIPE, SIG_DFL);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(out[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(read_file(err_path), "");
    EXPECT_EQ(list_dir(base.path()), std::vector<std::string>{});
}
