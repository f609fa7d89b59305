// Hostile input from the caller's side: huge standard input, a huge
// program, huge and many arguments, bytes that are not UTF-8 everywhere
// they can appear, and a standard output the report cannot be written to.
#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

class Inputs : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(gone_within(tmp.path()));
        expect_empty_dir(tmp.path());
    }
    TempDir tmp;
};

TEST_F(Inputs, HundredMegabyteStdinFile) {
    TempDir data;
    const std::string path = data / "input.txt";
    write_file(path, std::string(104857600, 'a'));
    const ProcessResult r = run_exec(run_of("bash", "wc -c\n", tmp.path(), {"--stdin-file", path, "--timeout", "10"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "104857600\n") << head(r.out);
}

TEST_F(Inputs, FiftyMegabyteProgram) {
    std::string program;
    program.reserve(52 * 1024 * 1024);
    const std::string comment = "# " + std::string(97, 'c') + "\n";
    while (program.size() < 50u * 1024 * 1024) program += comment;
    program += "echo survived\n";
    const ProcessResult r = run_exec(run_of("bash", program, tmp.path(), {"--timeout", "20"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "survived\n") << head(r.out);
}

TEST_F(Inputs, LargestSingleArgumentAsStdin) {
    // One argument can hold at most 128 KiB including its terminating NUL.
    const std::string text(128 * 1024 - 1, 'z');
    const ProcessResult r = run_exec(run_of("bash", "wc -c\n", tmp.path(), {"--stdin", text, "--timeout", "5"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), std::to_string(text.size()) + "\n") << head(r.out);
}

TEST_F(Inputs, TenThousandStrayArguments) {
    std::vector<std::string> extra;
    for (int i = 0; i < 10000; ++i) extra.push_back(i % 3 == 0 ? "--unknown-" + std::to_string(i) : "stray" + std::to_string(i));
    extra.push_back("--timeout");
    extra.push_back("5");
    const ProcessResult r = run_exec(run_of("bash", "echo fine\n", tmp.path(), extra));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "fine\n") << head(r.out);
}

TEST_F(Inputs, InvalidUtf8Language) {
    const ProcessResult r = run_exec(run_of("py\xff\xfethon3", "print(1)\n", tmp.path()));
    const json j = checked_report(r);
    ASSERT_TRUE(j.contains("error")) << r.out;
    EXPECT_EQ(j.size(), 2u);
    EXPECT_EQ(j.at("error").get<std::string>().rfind("unknown language '", 0), 0u) << r.out;
}

TEST_F(Inputs, InvalidUtf8StdinText) {
    const ProcessResult r = run_exec(run_of("bash", "od -An -tx1 | tr -d ' \\n'\n", tmp.path(), {"--stdin", "a\xff\xc3z"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "61ffc37a") << r.out;
}

TEST_F(Inputs, InvalidUtf8WorkdirPath) {
    TempDir base;
    const std::string w = base / "w\xff\xfe";
    ASSERT_EQ(mkdir(w.c_str(), 0755), 0);
    const ProcessResult r = run_exec(run_of("bash", "pwd | od -An -tx1 | tr -d ' \\n'; echo\n", tmp.path(), {"--workdir", w}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("workdir", ""), base.path() + "/w\uFFFD\uFFFD") << r.out;
    EXPECT_NE(j.value("stdout", "").find("77fffe"), std::string::npos) << "the child runs in the real directory";
}

TEST_F(Inputs, InvalidUtf8ProgramTextRunsAsWritten) {
    // The interpreter judges the bytes: the first line runs, the second is
    // not a command.
    const ProcessResult r = run_exec(run_of("bash", "echo ran\n\xff\n", tmp.path()));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "ran\n") << r.out;
    EXPECT_EQ(j.value("verdict", ""), "RTE");
}

TEST_F(Inputs, InvalidUtf8OutputIsReplaced) {
    const ProcessResult r = run_exec(run_of("bash", "printf 'a\\xff\\xfeb\\xc3'\nprintf '\\xed\\xa0\\x80' >&2\n", tmp.path()));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout_bytes", 0ULL), 5u);
    EXPECT_EQ(j.value("stderr_bytes", 0ULL), 3u);
    const std::string out = j.value("stdout", "");
    EXPECT_EQ(out.front(), 'a');
    EXPECT_NE(out.find("\uFFFD"), std::string::npos) << out;
    EXPECT_NE(out.find('b'), std::string::npos);
    EXPECT_NE(j.value("stderr", "").find("\uFFFD"), std::string::npos);
}

// ------------------------------------------------- nowhere to write the report

enum class Sink { Closed, BrokenPipe, Full };

int run_with_stdout(Sink sink, const std::string& tmpdir, std::string& err_text) {
    int broken[2] = {-1, -1};
    if (sink == Sink::BrokenPipe) {
        if (pipe2(broken, O_CLOEXEC) != 0) return -1;
        close(broken[0]);
    }
    int err_pipe[2];
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(err_pipe[1], 2);
        if (sink == Sink::Closed) close(1);
        if (sink == Sink::BrokenPipe) dup2(broken[1], 1);
        if (sink == Sink::Full) {
            const int full = open("/dev/full", O_WRONLY);
            dup2(full, 1);
        }
        setenv("PATH", kSearchPath, 1);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        signal(SIGPIPE, SIG_DFL);
        execl(testing_support::kExec, testing_support::kExec, "--lang", "bash", "--stdin", "x", "--timeout", "5",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err_pipe[1]);
    if (broken[1] >= 0) close(broken[1]);
    char buf[4096];
    for (ssize_t n; (n = read(err_pipe[0], buf, sizeof buf)) > 0;) err_text.append(buf, static_cast<std::size_t>(n));
    close(err_pipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

TEST_F(Inputs, ClosedStandardOutput) {
    std::string err;
    const int status = run_with_stdout(Sink::Closed, tmp.path(), err);
    ASSERT_TRUE(WIFEXITED(status)) << "runner killed by signal " << WTERMSIG(status);
    EXPECT_TRUE(WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 1) << WEXITSTATUS(status);
    EXPECT_EQ(err, "");
}

TEST_F(Inputs, BrokenPipeAsStandardOutput) {
    std::string err;
    const int status = run_with_stdout(Sink::BrokenPipe, tmp.path(), err);
    ASSERT_TRUE(WIFEXITED(status)) << "runner killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(err, "");
}

TEST_F(Inputs, FullDeviceAsStandardOutput) {
    std::string err;
    const int status = run_with_stdout(Sink::Full, tmp.path(), err);
    ASSERT_TRUE(WIFEXITED(status)) << "runner killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(err, "");
}

}  // namespace
