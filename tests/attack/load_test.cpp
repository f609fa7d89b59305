// Many runs at once and many in a row sharing one temporary base, and the
// runner squeezed by low hard limits of its own.
#include <set>

#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;

namespace {

TEST(Load, TwentyRunsInParallel) {
    TempDir tmp;
    constexpr int kRuns = 20;
    std::vector<ProcessResult> results(kRuns);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRuns; ++i)
        threads.emplace_back([&, i] {
            results[i] = run_exec(run_of("bash", "echo hi " + std::to_string(i) + "\n", tmp.path(), {"--timeout", "30"}));
        });
    for (auto& t : threads) t.join();
    std::set<std::string> workdirs;
    for (int i = 0; i < kRuns; ++i) {
        const json j = checked_report(results[i]);
        EXPECT_EQ(j.value("verdict", ""), "OK") << head(results[i].out);
        EXPECT_EQ(j.value("stdout", ""), "hi " + std::to_string(i) + "\n");
        workdirs.insert(j.value("workdir", ""));
    }
    EXPECT_EQ(workdirs.size(), static_cast<std::size_t>(kRuns)) << "two runs shared a work directory";
    expect_empty_dir(tmp.path());
}

TEST(Load, ThreeHundredRunsInARow) {
    TempDir tmp;
    int failures = 0;
    for (int i = 0; i < 300 && failures < 5; ++i) {
        const ProcessResult r = run_exec(run_of("bash", "echo hi\n", tmp.path(), {"--timeout", "30"}));
        const json j = checked_report(r);
        if (j.value("stdout", "") != "hi\n" || j.value("verdict", "") != "OK") {
            ++failures;
            ADD_FAILURE() << "run " << i << ": " << head(r.out);
        }
    }
    expect_empty_dir(tmp.path());
}

// Concurrent runs that each fill their own work directory with files and
// subdirectories: every one is removed.
TEST(Load, ParallelRunsLeavingClutter) {
    TempDir tmp;
    constexpr int kRuns = 8;
    std::vector<ProcessResult> results(kRuns);
    std::vector<std::thread> threads;
    for (int i = 0; i < kRuns; ++i)
        threads.emplace_back([&, i] {
            results[i] = run_exec(run_of("bash",
                                         "for d in $(seq 50); do mkdir -p x$d/y; touch x$d/y/f{1..20}; done\n"
                                         "echo done\n",
                                         tmp.path(), {"--timeout", "30"}));
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(checked_report(r).value("stdout", ""), "done\n") << head(r.out);
    expect_empty_dir(tmp.path());
}

// ---------------------------------------------------- low limits of its own

struct Squeeze {
    const char* name;
    std::vector<std::string> limits;  // prlimit options
    const char* program;
    const char* note;  // expected in `unenforced` of a report, or ""
};
void PrintTo(const Squeeze& v, std::ostream* os) { *os << v.name; }

class LowLimits : public ::testing::TestWithParam<Squeeze> {};

TEST_P(LowLimits, RunnerStillPrintsItsOneLine) {
    if (!have("/usr/bin/prlimit")) GTEST_SKIP() << "no prlimit";
    for (const auto& l : GetParam().limits)
        if (l.rfind("--as=", 0) == 0) SKIP_IF_RUNNER_NEEDS_ITS_ADDRESS_SPACE();
    TempDir tmp;
    Invocation inv = run_of("bash", GetParam().program, tmp.path(), {"--timeout", "5"});
    inv.wrapper = {"/usr/bin/prlimit"};
    for (const auto& l : GetParam().limits) inv.wrapper.push_back(l);
    inv.wrapper.push_back("--");
    const ProcessResult r = run_exec(inv);
    ASSERT_FALSE(WIFSIGNALED(r.status)) << "runner died of signal " << WTERMSIG(r.status);
    const json j = checked_report(r, Expect{kDefaultCap, false});
    if (!j.contains("error")) {
        bool found = std::string(GetParam().note).empty();
        for (const auto& n : j.value("unenforced", json::array())) found = found || n == GetParam().note;
        EXPECT_TRUE(found) << "missing note " << GetParam().note << ": " << head(r.out);
    }
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, LowLimits,
    ::testing::Values(
        Squeeze{"SixteenDescriptors", {"--nofile=16:16"}, "echo hi\n", ""},
        Squeeze{"SixteenDescriptorsDeepLeftovers", {"--nofile=16:16"},
                "d=.\nfor i in $(seq 300); do d=$d/n; done\nmkdir -p $d\ntouch $d/leaf\necho deep\n", ""},
        Squeeze{"SmallAddressSpace", {"--as=200000000:200000000"}, "echo hi\n", "memory_limit_clamped_to_hard_rlimit"},
        Squeeze{"TwoCpuSeconds", {"--cpu=2:2"}, "while :; do :; done\n", "cpu_limit_clamped_to_hard_rlimit"},
        Squeeze{"FourKilobyteFiles", {"--fsize=4096:4096"}, "head -c 100000 /dev/zero\n",
                "file_size_limit_clamped_to_hard_rlimit"},
        Squeeze{"AllAtOnce", {"--nofile=16:16", "--as=200000000:200000000", "--cpu=2:2", "--fsize=4096:4096"},
                "echo hi\n", "cpu_limit_clamped_to_hard_rlimit"}),
    [](const auto& info) { return std::string(info.param.name); });

// A standard input larger than the runner's own address space allows: it
// answers with an error object or a report, never with a crash.
TEST(LowLimits, HugeStdinInASmallAddressSpace) {
    if (!have("/usr/bin/prlimit")) GTEST_SKIP() << "no prlimit";
    SKIP_IF_RUNNER_NEEDS_ITS_ADDRESS_SPACE();
    TempDir tmp, data;
    const std::string path = data / "input.txt";
    testing_support::write_file(path, std::string(100u * 1024 * 1024, 'a'));
    Invocation inv = run_of("bash", "wc -c\n", tmp.path(), {"--stdin-file", path, "--timeout", "10"});
    inv.wrapper = {"/usr/bin/prlimit", "--as=180000000:180000000", "--"};
    const ProcessResult r = run_exec(inv);
    ASSERT_FALSE(WIFSIGNALED(r.status)) << "runner died of signal " << WTERMSIG(r.status);
    checked_report(r);
    expect_empty_dir(tmp.path());
}

}  // namespace
