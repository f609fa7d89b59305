// Mode selection, the run-mode option scan and the --stdin-file step.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/options.hpp"
#include "test_support.hpp"

using namespace tessimar;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

using Args = std::vector<std::string>;
const std::string kFFFD = "\xEF\xBF\xBD";

void expect_default_limits(const RunLimits& l) {
    EXPECT_EQ(l.timeout_secs, 10u);
    EXPECT_EQ(l.max_cpu_secs, 0u);
    EXPECT_EQ(l.max_memory_mb, 0u);
    EXPECT_EQ(l.max_output_kb, 0u);
    EXPECT_FALSE(l.no_net);
    EXPECT_FALSE(l.contain);
}

}  // namespace

TEST(SelectMode, RunWithoutDiscoveryOptions) {
    EXPECT_EQ(select_mode({}), Mode::Run);
    EXPECT_EQ(select_mode({"--lang", "python3", "--no-net"}), Mode::Run);
    // Only whole, exact arguments count.
    EXPECT_EQ(select_mode({"--probe=1", "--PROBE", "-probe", "--languages ", "probe"}), Mode::Run);
}

TEST(SelectMode, EachDiscoveryOptionAlone) {
    EXPECT_EQ(select_mode({"--probe"}), Mode::Probe);
    EXPECT_EQ(select_mode({"--languages"}), Mode::Languages);
    EXPECT_EQ(select_mode({"--capabilities"}), Mode::Capabilities);
}

TEST(SelectMode, PrecedenceIgnoresPosition) {
    EXPECT_EQ(select_mode({"--capabilities", "--languages"}), Mode::Languages);
    EXPECT_EQ(select_mode({"--languages", "--probe"}), Mode::Probe);
    EXPECT_EQ(select_mode({"--capabilities", "--languages", "--probe"}), Mode::Probe);
    EXPECT_EQ(select_mode({"--probe", "--capabilities"}), Mode::Probe);
    EXPECT_EQ(select_mode({"--languages", "--capabilities"}), Mode::Languages);
}

TEST(SelectMode, DiscoveryOptionAsValueOfAnotherOptionStillCounts) {
    EXPECT_EQ(select_mode({"--stdin", "--probe"}), Mode::Probe);
    EXPECT_EQ(select_mode({"--lang", "--languages"}), Mode::Languages);
    EXPECT_EQ(select_mode({"--lang", "python3", "--workdir", "--capabilities"}), Mode::Capabilities);
    EXPECT_EQ(select_mode({"--lang", "python3", "--probe"}), Mode::Probe);
}

TEST(SelectMode, HelpAndVersionComeAfterDiscoveryAndOnlyWhereAnOptionStands) {
    EXPECT_EQ(select_mode({"--version", "--help"}), Mode::Help);
    EXPECT_EQ(select_mode({"--lang", "python3", "--version"}), Mode::Version);
    EXPECT_EQ(select_mode({"--help", "--capabilities"}), Mode::Capabilities);
    EXPECT_EQ(select_mode({"--version", "--probe"}), Mode::Probe);
    // As the value of a value option it is that value: the run is unchanged.
    EXPECT_EQ(select_mode({"--stdin", "--help", "--lang", "--version"}), Mode::Run);
    EXPECT_EQ(select_mode({"--lang", "--stdin", "--help"}), Mode::Help);
    EXPECT_EQ(select_mode({"--help=1", "-h", "--HELP", "-v", "-V"}), Mode::Run);
}

TEST(ScanOptions, Defaults) {
    const RunOptions o = scan_options({});
    EXPECT_EQ(o.language, "");
    expect_default_limits(o.limits);
    EXPECT_EQ(o.stdin_text, "");
    EXPECT_FALSE(o.stdin_file.has_value());
    EXPECT_FALSE(o.workdir.has_value());
    EXPECT_FALSE(o.cases.has_value());
}

TEST(ScanOptions, CasesTakesTheNextArgumentAndTheLastOccurrenceWins) {
    EXPECT_EQ(scan_options({"--cases", "/d1", "--cases", "--no-net"}).cases, "--no-net");
    EXPECT_FALSE(scan_options({"--cases", "--no-net"}).limits.no_net);
    EXPECT_EQ(scan_options({"--cases", "/d", "--cases"}).cases, "/d");
}

TEST(ScanOptions, EveryOptionSetsItsField) {
    const RunOptions o = scan_options({"--lang", "Python3", "--timeout", "5", "--max-cpu", "3",
                                       "--max-memory-mb", "256", "--max-output-kb", "7", "--max-data-mb", "64",
                                       "--stdin", "hello", "--stdin-file", "/x/y", "--workdir", "/w", "--no-net"});
    EXPECT_EQ(o.language, "Python3");  // verbatim, resolution trims and lower-cases later
    EXPECT_EQ(o.limits.timeout_secs, 5u);
    EXPECT_EQ(o.limits.max_cpu_secs, 3u);
    EXPECT_EQ(o.limits.max_memory_mb, 256u);
    EXPECT_EQ(o.limits.max_output_kb, 7u);
    EXPECT_EQ(o.limits.max_data_mb, 64u);
    EXPECT_TRUE(o.limits.no_net);
    EXPECT_EQ(o.stdin_text, "hello");
    EXPECT_EQ(o.stdin_file, "/x/y");
    EXPECT_EQ(o.workdir, "/w");
}

TEST(ScanOptions, LanguageIsKeptVerbatimWithSpaces) {
    EXPECT_EQ(scan_options({"--lang", "  Foo "}).language, "  Foo ");
    EXPECT_EQ(scan_options({"--lang", ""}).language, "");
}

TEST(ScanOptions, ContainIsAFlag) {
    EXPECT_TRUE(scan_options({"--contain", "--lang", "c"}).limits.contain);
    const RunOptions o = scan_options({"--lang", "--contain"});
    EXPECT_EQ(o.language, "--contain");
    EXPECT_FALSE(o.limits.contain);
}

TEST(ScanOptions, ValueMayBeginWithDashes) {
    const RunOptions o = scan_options({"--lang", "--no-net"});
    EXPECT_EQ(o.language, "--no-net");
    EXPECT_FALSE(o.limits.no_net);

    const RunOptions p = scan_options({"--stdin", "--timeout", "3"});
    EXPECT_EQ(p.stdin_text, "--timeout");
    EXPECT_EQ(p.limits.timeout_secs, 10u);  // "3" is a stray word after the value

    const RunOptions q = scan_options({"--workdir", "--lang", "c"});
    EXPECT_EQ(q.workdir, "--lang");
    EXPECT_EQ(q.language, "");
}

TEST(ScanOptions, LastOccurrenceWins) {
    const RunOptions o = scan_options({"--lang", "c", "--lang", "go", "--timeout", "3", "--timeout",
                                       "4", "--stdin", "a", "--stdin", "b", "--workdir", "/1",
                                       "--workdir", "/2", "--stdin-file", "f1", "--stdin-file", "f2"});
    EXPECT_EQ(o.language, "go");
    EXPECT_EQ(o.limits.timeout_secs, 4u);
    EXPECT_EQ(o.stdin_text, "b");
    EXPECT_EQ(o.workdir, "/2");
    EXPECT_EQ(o.stdin_file, "f2");
}

// --judge-arg appends on every occurrence, whatever its value looks like;
// --judge-protocol is replaced like any other option.
TEST(ScanOptions, JudgeArgsAppendAndTheProtocolIsReplaced) {
    const RunOptions o = scan_options({"--judge-arg", "a b", "--judge-protocol", "kattis", "--judge-arg",
                                       "--judge-arg", "--judge-protocol", "testlib", "--judge-arg", "",
                                       "--judge-arg"});
    EXPECT_EQ(o.judge.judge_args, (std::vector<std::string>{"a b", "--judge-arg", ""}));
    EXPECT_EQ(o.judge.judge_protocol, "testlib");
    EXPECT_TRUE(scan_options({"--checker", "c"}).judge.judge_args.empty());
    EXPECT_FALSE(scan_options({"--checker", "c"}).judge.judge_protocol);
}

// --timeout and --timeout-ms set one limit: the last of them decides, and
// an invalid value of either stands for the default of 10 s.
TEST(ScanOptions, TimeoutInSecondsOrMilliseconds) {
    RunOptions o = scan_options({"--timeout", "5", "--timeout-ms", "1500"});
    EXPECT_EQ(o.limits.timeout_ms, 1500u);
    EXPECT_EQ(wall_timeout_ms(o.limits), 1500u);
    EXPECT_EQ(default_cpu_secs(o.limits), 10u);  // 1.5 s rounded up, + 8
    o = scan_options({"--timeout-ms", "1500", "--timeout", "3"});
    EXPECT_FALSE(o.limits.timeout_ms);
    EXPECT_EQ(wall_timeout_ms(o.limits), 3000u);
    o = scan_options({"--timeout", "5", "--timeout-ms", "1.5"});
    EXPECT_EQ(wall_timeout_ms(o.limits), 10000u);
    EXPECT_EQ(default_cpu_secs(scan_options({"--timeout-ms", "0"}).limits), 8u);
    EXPECT_EQ(default_cpu_secs(scan_options({"--timeout-ms", "18446744073709551615"}).limits), 18446744073709560u);

    // The compile budget: seconds saturate in milliseconds; invalid is none.
    EXPECT_FALSE(scan_options({}).limits.compile_timeout_ms);
    EXPECT_EQ(scan_options({"--compile-timeout", "60"}).limits.compile_timeout_ms, 60000u);
    EXPECT_EQ(scan_options({"--compile-timeout-ms", "250"}).limits.compile_timeout_ms, 250u);
    EXPECT_EQ(scan_options({"--compile-timeout-ms", "250", "--compile-timeout", "2"}).limits.compile_timeout_ms,
              2000u);
    EXPECT_EQ(scan_options({"--compile-timeout", "18446744073709551615"}).limits.compile_timeout_ms,
              18446744073709551615ull);
    EXPECT_FALSE(scan_options({"--compile-timeout", "9", "--compile-timeout", "x"}).limits.compile_timeout_ms);
    // A value option swallows what follows it.
    EXPECT_EQ(scan_options({"--timeout-ms", "--lang", "c"}).language, "");
    EXPECT_EQ(with_timeout_ms(RunLimits{}, 2000).timeout_secs, 2u);
}

TEST(ScanOptions, NumberForms) {
    EXPECT_EQ(scan_options({"--timeout", "5"}).limits.timeout_secs, 5u);
    EXPECT_EQ(scan_options({"--timeout", "+5"}).limits.timeout_secs, 5u);
    EXPECT_EQ(scan_options({"--timeout", "0"}).limits.timeout_secs, 0u);  // used as given
    EXPECT_EQ(scan_options({"--timeout", "007"}).limits.timeout_secs, 7u);
    for (const char* bad : {"-5", "5s", "1.5", " 5", "", "+", "-0", "0x10", "++5"}) {
        EXPECT_EQ(scan_options({"--timeout", bad}).limits.timeout_secs, 10u) << bad;
        EXPECT_EQ(scan_options({"--max-cpu", bad}).limits.max_cpu_secs, 0u) << bad;
        EXPECT_EQ(scan_options({"--max-memory-mb", bad}).limits.max_memory_mb, 0u) << bad;
        EXPECT_EQ(scan_options({"--max-output-kb", bad}).limits.max_output_kb, 0u) << bad;
    }
    EXPECT_EQ(scan_options({"--max-cpu", "18446744073709551615"}).limits.max_cpu_secs,
              18446744073709551615ull);
    EXPECT_EQ(scan_options({"--max-cpu", "18446744073709551616"}).limits.max_cpu_secs, 0u);
}

TEST(ScanOptions, InvalidLaterValueResetsToDefault) {
    EXPECT_EQ(scan_options({"--timeout", "5", "--timeout", "x"}).limits.timeout_secs, 10u);
    EXPECT_EQ(scan_options({"--max-cpu", "5", "--max-cpu", "x"}).limits.max_cpu_secs, 0u);
    EXPECT_EQ(scan_options({"--max-memory-mb", "5", "--max-memory-mb", "-1"}).limits.max_memory_mb, 0u);
    EXPECT_EQ(scan_options({"--max-output-kb", "5", "--max-output-kb", "1k"}).limits.max_output_kb, 0u);
}

TEST(ScanOptions, MissingValueAtEndKeepsPreviousValue) {
    EXPECT_EQ(scan_options({"--timeout", "5", "--timeout"}).limits.timeout_secs, 5u);
    EXPECT_EQ(scan_options({"--max-cpu", "5", "--max-cpu"}).limits.max_cpu_secs, 5u);
    EXPECT_EQ(scan_options({"--lang", "c", "--lang"}).language, "c");
    EXPECT_EQ(scan_options({"--stdin", "a", "--stdin"}).stdin_text, "a");
    EXPECT_FALSE(scan_options({"--stdin-file"}).stdin_file.has_value());
    EXPECT_FALSE(scan_options({"--workdir"}).workdir.has_value());
    EXPECT_EQ(scan_options({"--lang"}).language, "");
    // A missing value ends the scan; --no-net before it still counts.
    const RunOptions o = scan_options({"--no-net", "--max-memory-mb", "9", "--max-memory-mb"});
    EXPECT_TRUE(o.limits.no_net);
    EXPECT_EQ(o.limits.max_memory_mb, 9u);
}

TEST(ScanOptions, UnrecognisedArgumentsAreSkipped) {
    const RunOptions o = scan_options({"--lang=python3", "main.py", "-l", "--LANG", "x", "--timeout=3",
                                       "--no-net=1"});
    EXPECT_EQ(o.language, "");
    expect_default_limits(o.limits);

    const RunOptions p = scan_options({"stray.py", "--lang", "python3"});
    EXPECT_EQ(p.language, "python3");
}

TEST(ScanOptions, NoNetTwiceIsTheSameAsOnce) {
    const RunOptions once = scan_options({"--no-net"});
    const RunOptions twice = scan_options({"--no-net", "--no-net"});
    EXPECT_TRUE(once.limits.no_net);
    EXPECT_TRUE(twice.limits.no_net);
    EXPECT_EQ(twice.limits.timeout_secs, 10u);
    EXPECT_EQ(twice.language, "");
}

TEST(ScanOptions, InvalidUtf8LanguageIsReplaced) {
    EXPECT_EQ(scan_options({"--lang", "py\xFFthon"}).language, "py" + kFFFD + "thon");
    // The child's input stays bytes.
    EXPECT_EQ(scan_options({"--stdin", "a\xC3"}).stdin_text, "a\xC3");
    // Paths stay bytes as given.
    EXPECT_EQ(scan_options({"--workdir", "/w\xFF"}).workdir, "/w\xFF");
    EXPECT_EQ(scan_options({"--stdin-file", "/f\xFF"}).stdin_file, "/f\xFF");
}

TEST(LoadStdinFile, WithoutFileNothingChanges) {
    RunOptions o = scan_options({"--stdin", "hello"});
    EXPECT_TRUE(load_stdin_file(o).ok());
    EXPECT_EQ(o.stdin_text, "hello");
}

TEST(LoadStdinFile, FileContentReplacesStdinTextInEitherOrder) {
    TempDir dir;
    const std::string file = dir / "in.txt";
    write_file(file, "from file\n\xC3\xA9\n");

    RunOptions before = scan_options({"--stdin", "hello", "--stdin-file", file});
    ASSERT_TRUE(load_stdin_file(before).ok());
    EXPECT_EQ(before.stdin_text, "from file\n\xC3\xA9\n");

    RunOptions after = scan_options({"--stdin-file", file, "--stdin", "hello"});
    ASSERT_TRUE(load_stdin_file(after).ok());
    EXPECT_EQ(after.stdin_text, "from file\n\xC3\xA9\n");
}

TEST(LoadStdinFile, LargeFileIsReadWhole) {
    TempDir dir;
    const std::string file = dir / "big.txt";
    std::string content;
    for (int i = 0; i < 50000; ++i) content += std::to_string(i) + "\n";
    write_file(file, content);
    RunOptions o = scan_options({"--stdin-file", file});
    ASSERT_TRUE(load_stdin_file(o).ok());
    EXPECT_EQ(o.stdin_text.size(), content.size());
    EXPECT_EQ(o.stdin_text, content);
}

TEST(LoadStdinFile, BytesAreKeptAndFailuresSaid) {
    TempDir dir;
    const std::string bad_utf8 = dir / "bad.bin";
    write_file(bad_utf8, "ok\xFF\xFE");
    const std::string empty = dir / "empty.txt";
    write_file(empty, "");

    RunOptions invalid = scan_options({"--stdin", "hello", "--stdin-file", bad_utf8});
    ASSERT_TRUE(load_stdin_file(invalid).ok());
    EXPECT_EQ(invalid.stdin_text, "ok\xFF\xFE");

    RunOptions empty_file = scan_options({"--stdin", "hello", "--stdin-file", empty});
    ASSERT_TRUE(load_stdin_file(empty_file).ok());
    EXPECT_EQ(empty_file.stdin_text, "");

    RunOptions missing = scan_options({"--stdin-file", dir / "no\xFFpe"});
    const Status m = load_stdin_file(missing);
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error(), "cannot read --stdin-file " + dir.path() + "/no" + kFFFD +
                             "pe: No such file or directory (os error 2)");

    RunOptions with_nul = scan_options({"--stdin", "hello"});
    with_nul.stdin_file = empty + std::string("\0x", 2);
    const Status n = load_stdin_file(with_nul);
    ASSERT_FALSE(n.ok());
    EXPECT_NE(n.error().find("nul byte"), std::string::npos) << n.error();
}
