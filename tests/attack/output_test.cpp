// Programs that write far more than anyone will read: floods on either
// standard stream, a disk filled from the work directory, and a writer that
// ignores the file-size signal.
#include "attack_support.hpp"

using namespace attack;
using testing_support::run_exec;

namespace {

struct Flood {
    const char* name;
    const char* program;
    bool on_stdout;
    bool on_stderr;
};
void PrintTo(const Flood& v, std::ostream* os) { *os << v.name; }

class OutputFlood : public ::testing::TestWithParam<Flood> {};

// The runner is started by hand and waited for with wait4: its ru_maxrss is
// the largest of itself and the children it reaped. The flooding children
// (head, yes, bash) stay small, so the figure is the runner's own.
TEST_P(OutputFlood, CapHoldsAndTheRunnerStaysSmall) {
    TempDir tmp;
    const Flood& f = GetParam();
    const auto start = std::chrono::steady_clock::now();
    const Direct d = run_direct({"--lang", "bash", "--timeout", "5"}, f.program,
                                {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}});
    EXPECT_LT(seconds_since(start), 60.0);
    const json j = checked_report(as_result(d));
    const std::string verdict = j.value("verdict", "");
    EXPECT_TRUE(verdict == "OLE" || verdict == "TLE") << head(d.out);
    EXPECT_TRUE(j.value("output_truncated", false));
    for (const auto& [on, text_key, size_key] :
         {std::tuple{f.on_stdout, "stdout", "stdout_bytes"}, std::tuple{f.on_stderr, "stderr", "stderr_bytes"}}) {
        if (!on) continue;
        const std::string text = j.value(text_key, "");
        EXPECT_EQ(text.size(), kDefaultCap + kMarkerSize) << text_key;
        EXPECT_TRUE(ends_with(text, kMarker)) << text_key;
        ASSERT_TRUE(j.at(size_key).is_number_unsigned());
        EXPECT_GT(j.at(size_key).get<std::uint64_t>(), kDefaultCap);
        // The run phase's file-size limit keeps each capture file at 256 MiB.
        EXPECT_LE(j.at(size_key).get<std::uint64_t>(), 268435456ULL);
    }
    // Against the same runner on a run that writes nothing: the flood may
    // not add more than its fixed buffers (the sanitized runner starts far
    // larger than the plain one).
    const Direct quiet = run_direct({"--lang", "bash", "--timeout", "5"}, "true",
                                    {{"PATH", kSearchPath}, {"TMPDIR", tmp.path()}});
    EXPECT_LT(d.usage.ru_maxrss, quiet.usage.ru_maxrss + 32L * 1024)
        << "runner peak RSS " << d.usage.ru_maxrss << " KiB, " << quiet.usage.ru_maxrss << " KiB without output";
    if (!testing_support::kRunnerSanitized) {
        EXPECT_LT(d.usage.ru_maxrss, 40L * 1024);
    }
    EXPECT_TRUE(gone_within(tmp.path()));
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(
    Attack, OutputFlood,
    ::testing::Values(Flood{"ZerosOnStdout", "head -c 3G /dev/zero\n", true, false},
                      Flood{"YesOnStdout", "yes\n", true, false},
                      Flood{"ZerosOnStderr", "head -c 3G /dev/zero >&2\n", false, true},
                      Flood{"YesOnStderr", "yes >&2\n", false, true},
                      Flood{"BothAtOnce", "head -c 3G /dev/zero >&2 &\nhead -c 3G /dev/zero\nwait\n", true, true},
                      Flood{"SmallWritesWithDd", "dd if=/dev/zero bs=512 count=8000000 status=none\n", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// ------------------------------------------------------------- disk fill

struct Fill {
    const char* name;
    std::vector<std::string> extra;
    std::uint64_t limit;
};
void PrintTo(const Fill& v, std::ostream* os) { *os << v.name; }

class DiskFill : public ::testing::TestWithParam<Fill> {};

TEST_P(DiskFill, FileSizeLimitStopsTheWriter) {
    TempDir tmp;
    const ProcessResult r = run_exec(run_of("bash",
                                            "cat /dev/zero > big\necho \"rc=$?\"\nstat -c size=%s big\n"
                                            "head -c 1M /dev/zero > other\nstat -c other=%s other\n",
                                            tmp.path(), [&] {
                                                std::vector<std::string> a = {"--timeout", "5"};
                                                a.insert(a.end(), GetParam().extra.begin(), GetParam().extra.end());
                                                return a;
                                            }()));
    const json j = checked_report(r);
    const std::string out = j.value("stdout", "");
    // cat is killed by SIGXFSZ (25) at the limit; the shell goes on.
    EXPECT_NE(out.find("rc=153\n"), std::string::npos) << head(r.out);
    EXPECT_NE(out.find("size=" + std::to_string(GetParam().limit) + "\n"), std::string::npos) << head(r.out);
    const std::uint64_t other = std::min<std::uint64_t>(GetParam().limit, 1048576);
    EXPECT_NE(out.find("other=" + std::to_string(other) + "\n"), std::string::npos) << head(r.out);
    EXPECT_EQ(j.value("verdict", ""), "OK");
    expect_empty_dir(tmp.path());
}

INSTANTIATE_TEST_SUITE_P(Attack, DiskFill,
                         ::testing::Values(Fill{"DefaultLimit", {}, 268435456ULL},
                                           Fill{"OutputCapOf16KiB", {"--max-output-kb", "16"}, 65536ULL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiskFill, WriterIgnoringTheSignalGetsEfbig) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    TempDir tmp;
    const std::string program =
        "import errno, os, signal\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "chunk = b'x' * 8192\n"
        "try:\n"
        "    with open('big', 'wb', buffering=0) as f:\n"
        "        while True:\n"
        "            f.write(chunk)\n"
        "except OSError as e:\n"
        "    print('caught', errno.errorcode.get(e.errno), os.path.getsize('big'))\n";
    const ProcessResult r =
        run_exec(run_of("python3", program, tmp.path(), {"--timeout", "5", "--max-output-kb", "16"}));
    const json j = checked_report(r);
    EXPECT_EQ(j.value("stdout", ""), "caught EFBIG 65536\n") << head(r.out);
    EXPECT_EQ(j.value("verdict", ""), "OK");
    expect_empty_dir(tmp.path());
}

// A writer that ignores the signal on its own standard output: the capture
// file stops at the limit and the program goes on to finish normally.
TEST(DiskFill, StdoutWriterIgnoringTheSignalIsCutAtTheLimit) {
    if (!have("/usr/bin/python3")) GTEST_SKIP() << "no python3";
    TempDir tmp;
    const std::string program =
        "import errno, os, signal, sys\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "chunk = b'y' * 8192\n"
        "try:\n"
        "    while True:\n"
        "        os.write(1, chunk)\n"
        "except OSError as e:\n"
        "    sys.stderr.write('caught %s\\n' % errno.errorcode.get(e.errno))\n";
    const ProcessResult r =
        run_exec(run_of("python3", program, tmp.path(), {"--timeout", "5", "--max-output-kb", "16"}));
    const json j = checked_report(r, Expect{16384, true});
    EXPECT_EQ(j.value("stderr", ""), "caught EFBIG\n") << head(r.out);
    EXPECT_EQ(j.value("stdout_bytes", 0ULL), 65536ULL);
    EXPECT_EQ(j.value("stdout", "").size(), 16384u + kMarkerSize);
    EXPECT_EQ(j.value("verdict", ""), "OLE");
    EXPECT_TRUE(j.value("ok", false)) << "truncated output alone does not make a run fail";
    expect_empty_dir(tmp.path());
}

}  // namespace
