// The run phase's program runs in the work directory, right beside the
// runner's scratch directory, and can replace the capture files it writes
// into before the runner reads them back. Whatever it puts there, the runner
// neither hangs nor exceeds the cap nor reads anything of its own.
#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

struct Swap {
    const char* name;
    const char* lang;
    // "FILE" stands for the capture file, relative to the work directory.
    const char* program;
    // What the runner may make of it.
    enum Kind { Empty, Capped, ReadFails } kind;
};
void PrintTo(const Swap& v, std::ostream* os) { *os << v.name; }

class CaptureSwap : public ::testing::TestWithParam<std::tuple<Swap, bool>> {};

std::string fill(std::string program, const std::string& file) {
    for (std::size_t at; (at = program.find("FILE")) != std::string::npos;) program.replace(at, 4, file);
    return program;
}

TEST_P(CaptureSwap, NoHangCapHoldsErrorsAreReported) {
    const auto& [swap, on_stderr] = GetParam();
    const char* text_key = on_stderr ? "stderr" : "stdout";
    const std::string file = on_stderr ? ".tessimar-run/run.err" : ".tessimar-run/run.out";
    TempDir tmp, big;
    std::string program = fill(swap.program, file);
    if (const std::size_t at = program.find("SPARSE"); at != std::string::npos) {
        const std::string sparse = big / "sparse";
        write_file(sparse, "", 0644);
        ASSERT_EQ(truncate(sparse.c_str(), off_t{10} << 30), 0);
        program.replace(at, 6, sparse);
    }
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = run_exec(run_of(swap.lang, program, tmp.path(), {"--timeout", "5"}));
    EXPECT_LT(seconds_since(start), 30.0) << "the runner hung on a swapped capture file";
    const json j = checked_report(r, Expect{kDefaultCap, false});
    ASSERT_EQ(j.value("phase", ""), "run") << head(r.out);
    EXPECT_FALSE(j.value("timed_out", true)) << head(r.out);
    EXPECT_EQ(j.value("exit_code", 1), 0) << head(r.out);
    const std::string text = j.value(text_key, "");
    EXPECT_LE(text.size(), kDefaultCap + kMarkerSize);
    const json& error = j.at("output_error");
    switch (swap.kind) {
        case Swap::Empty:
            // A FIFO without a writer reads as empty; refusing it is as good.
            if (error.is_null()) {
                EXPECT_EQ(text, "");
                EXPECT_TRUE(j.value("ok", false));
            } else {
                EXPECT_FALSE(j.value("ok", true));
            }
            break;
        case Swap::Capped:
            // Read through (cut at the cap) or refused as not a plain file.
            if (error.is_null()) {
                EXPECT_EQ(text.size(), kDefaultCap + kMarkerSize) << head(r.out);
                EXPECT_EQ(j.value("verdict", ""), "OLE");
            } else {
                EXPECT_FALSE(j.value("ok", true));
                EXPECT_EQ(error.get<std::string>().rfind(std::string(text_key) + ": ", 0), 0u) << error;
            }
            break;
        case Swap::ReadFails:
            ASSERT_TRUE(error.is_string()) << head(r.out);
            EXPECT_EQ(error.get<std::string>().rfind(std::string(text_key) + ": ", 0), 0u) << error;
            EXPECT_FALSE(j.value("ok", true));
            EXPECT_EQ(j.value("verdict", ""), "OK") << "a failed read does not change the verdict";
            break;
    }
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, CaptureSwap,
    ::testing::Combine(
        ::testing::Values(
            Swap{"Fifo", "bash", "rm FILE\nmkfifo FILE\n", Swap::Empty},
            Swap{"LinkToFifo", "bash", "mkfifo pipe\nrm FILE\nln -s \"$PWD/pipe\" FILE\n", Swap::Empty},
            Swap{"LinkToDevZero", "bash", "rm FILE\nln -s /dev/zero FILE\n", Swap::Capped},
            // The child's own file-size limit keeps it from making this file;
            // the test makes it and the program links to it.
            Swap{"LinkToSparse10G", "bash", "rm FILE\nln -s SPARSE FILE\n", Swap::Capped},
            Swap{"HugeSparseInPlace", "bash", "truncate -s 200M FILE\n", Swap::Capped},
            Swap{"Directory", "bash", "rm FILE\nmkdir FILE\n", Swap::ReadFails},
            Swap{"Removed", "bash", "rm FILE\n", Swap::ReadFails},
            Swap{"UnixSocket", "python3",
                 "import os, socket\nos.unlink('FILE')\ns = socket.socket(socket.AF_UNIX)\ns.bind('FILE')\n",
                 Swap::ReadFails},
            Swap{"DanglingLink", "bash", "rm FILE\nln -s /nonexistent/x FILE\n", Swap::ReadFails},
            Swap{"LinkLoop", "bash", "rm FILE\nln -s x.loop FILE\nln -s \"$(basename FILE)\" .tessimar-run/x.loop\n",
                 Swap::ReadFails}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_Stderr" : "_Stdout");
    });

// The runner reads the capture file with its own rights: a link planted
// there must not turn it into a reader of its own process files, whose
// content would go out in the report the program's author gets back.
TEST(CaptureSwapLeak, LinkToTheRunnersEnvironmentDoesNotLeakIt) {
    TempDir tmp;
    const std::string secret = unique_token("secret-env");
    Invocation inv = run_of("bash", "rm .tessimar-run/run.out\nln -s /proc/self/environ .tessimar-run/run.out\n",
                            tmp.path(), {"--timeout", "5"});
    inv.set["TESSIMAR_ATTACK_SECRET"] = secret;
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r, Expect{kDefaultCap, false});
    EXPECT_EQ(r.out.find(secret), std::string::npos)
        << "the runner's own environment reached the report through a planted link:\n"
        << head(r.out, 300);
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

TEST(CaptureSwapLeak, LinkToTheRunnersCommandLineAndMapsIsNotFollowed) {
    TempDir tmp;
    const std::string secret = unique_token("secret-arg");
    Invocation inv = run_of("bash",
                            "rm .tessimar-run/run.out .tessimar-run/run.err\n"
                            "ln -s /proc/self/cmdline .tessimar-run/run.out\n"
                            "ln -s /proc/self/maps .tessimar-run/run.err\n",
                            tmp.path(), {"--timeout", "5", "--stdin", secret});
    const ProcessResult r = run_exec(inv);
    const json j = checked_report(r, Expect{kDefaultCap, false});
    EXPECT_EQ(j.value("stdout", "").find(secret), std::string::npos)
        << "the runner's command line reached the report through a planted link";
    EXPECT_EQ(j.value("stderr", "").find("tessimar-exec"), std::string::npos)
        << "the runner's memory map reached the report through a planted link";
    expect_empty_dir(tmp.path());
}

}  // namespace
