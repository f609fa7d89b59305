// The comparison modes on their edges: number forms, the float tolerance,
// missing and extra tokens and lines, and the bounds of the message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/text.hpp"
#include "judge/checker.hpp"
#include "judge/compare.hpp"
#include "judge/default_validator.hpp"
#include "judge/interactor.hpp"
#include "judge/judge_protocol.hpp"
#include "judge/judge_settings.hpp"
#include "test_support.hpp"

using namespace tessimar;

namespace {

JudgeSettings mode(CheckMode m, double eps = 1e-6, bool ignore_case = false) {
    JudgeSettings s;
    s.mode = m;
    s.tolerance = eps;
    s.ignore_case = ignore_case;
    return s;
}

bool passes(const std::string& exp, const std::string& out, const JudgeSettings& s) {
    return compare_output(exp, out, s).verdict == CheckVerdict::Passed;
}

std::string message(const std::string& exp, const std::string& out, const JudgeSettings& s) {
    const CheckResult r = compare_output(exp, out, s);
    EXPECT_EQ(r.verdict, CheckVerdict::WrongAnswer);
    return r.message.value_or("");
}

}  // namespace

TEST(ParseDecimal, FiniteDecimalFormsOnly) {
    for (const char* yes : {"0", "-0", "+7", "007", "1.5", ".5", "5.", "-1e5", "2.5E-3", "1e+2"})
        EXPECT_TRUE(parse_decimal(yes).has_value()) << yes;
    for (const char* no : {"", "+", "-", ".", "e5", "1e", "1e+", "0x10", "1_000", " 1", "1 ", "nan", "inf",
                           "-Infinity", "1e999", "1.2.3", "--1", "1,5"})
        EXPECT_FALSE(parse_decimal(no).has_value()) << no;
}

TEST(Floats, ToleranceAbsoluteOrRelativeWithRoundingSlack) {
    const JudgeSettings f = mode(CheckMode::Floats);
    EXPECT_TRUE(passes("0.3", "0.300001", f));               // an error of exactly the tolerance
    EXPECT_TRUE(passes("0.3", "0.30000000000000004", f));
    EXPECT_FALSE(passes("0.3", "0.3000011", f));
    EXPECT_TRUE(passes("1000000000", "1000001000", f));      // relative: 1e-6 of 1e9
    EXPECT_FALSE(passes("1000000000", "1000001001", f));
    EXPECT_TRUE(passes("0", "-0.0000005", f));
    EXPECT_TRUE(passes(".5 -0", "0.5e0 0", f));
    EXPECT_FALSE(passes("1", "1.0001", f));
    EXPECT_TRUE(passes("1", "1.0001", mode(CheckMode::Floats, 1e-3)));
    EXPECT_TRUE(passes("0", "1e-300", mode(CheckMode::Floats, 0)));  // within the slack
    EXPECT_FALSE(passes("0", "1e-14", mode(CheckMode::Floats, 0)));
    // A number never matches nan, inf or a word; other tokens compare exactly.
    for (const char* bad : {"nan", "inf", "-inf", "NaN", "1e999", "x", "0x1"})
        EXPECT_FALSE(passes("1", bad, f)) << bad;
    EXPECT_TRUE(passes("nan YES", "nan YES", f));
    EXPECT_FALSE(passes("yes", "YES", f));
    EXPECT_TRUE(passes("yes 1E0", "YES 1", mode(CheckMode::Floats, 1e-6, true)));
    EXPECT_EQ(message("1 2.5", "1\n2.6", f),
              "line 2, token 1: expected \"2.5\", got \"2.6\" (difference 0.10000000000000009, tolerance 1e-06)");
    EXPECT_EQ(message("1", "one", f), "line 1, token 1: expected the number \"1\", got \"one\"");
}

TEST(Tokens, WhitespaceIgnoredAndMissingOrExtraTokensNamed) {
    const JudgeSettings t = mode(CheckMode::Tokens);
    EXPECT_TRUE(passes("1 2\n3\n", " 1\t2 3\r\n\n", t));
    EXPECT_TRUE(passes("", " \n", t));
    EXPECT_FALSE(passes("1 2", "12", t));
    EXPECT_FALSE(passes("1.0", "1", t));  // tokens are text, not numbers
    EXPECT_EQ(message("4 5\n6 5", "4 5\n6 6", t), "line 2, token 2: expected \"5\", got \"6\"");
    EXPECT_EQ(message("1 2 3", "1 2", t),
              "token 3: expected \"3\", but the output ends after 2 tokens (the answer has 3)");
    EXPECT_EQ(message("1 2", "1 2\n3 4", t),
              "line 2, token 1: expected the end of the output, got \"3\" (the output has 4 tokens, the answer 2)");
}

TEST(Lines, TrailingBlanksAndCarriageReturnsAndAMissingLastLine) {
    const JudgeSettings l = mode(CheckMode::Lines);
    EXPECT_TRUE(passes("a b\nc\n", "a b \t\r\nc\n\n\n", l));
    EXPECT_TRUE(passes("a\nc", "a\nc\n", l));
    EXPECT_FALSE(passes("a b\n", "a  b\n", l));  // inner spaces count
    EXPECT_FALSE(passes("a\n\nb\n", "a\nb\n", l));  // inner empty lines count
    EXPECT_EQ(message("a\nb\n", "a\n", l), "line 2: expected \"b\", but the output ends after 1 lines (the answer has 2)");
    EXPECT_EQ(message("a\n", "a\nb\n", l),
              "line 2: expected the end of the output, got \"b\" (the output has 2 lines, the answer 1)");
}

TEST(Exact, BytesAndFirstDifference) {
    const JudgeSettings e = mode(CheckMode::Exact);
    EXPECT_TRUE(passes(std::string("\xff\0z\n", 4), std::string("\xff\0z\n", 4), e));
    EXPECT_FALSE(passes("a\n", "a", e));
    EXPECT_FALSE(passes("YES", "yes", e));
    EXPECT_TRUE(passes("YES", "yes", mode(CheckMode::Exact, 1e-6, true)));
    EXPECT_EQ(message("ab\ncd", "ab\nce", e), "byte 5 (line 2): expected \"d\", got \"e\"");
    EXPECT_EQ(message("a\n", "a", e), "byte 2 (line 1): expected \"\\n\", got the end of the output");
}

TEST(CheckMessage, QuotedShortEscapedAndBoundedValidUtf8) {
    EXPECT_EQ(quote_bytes("a\"b\\c\x01\t"), "\"a\\\"b\\\\c\\x01\\t\"");
    EXPECT_EQ(quote_bytes(std::string(100, 'x')), "\"" + std::string(48, 'x') + "\"...");
    EXPECT_TRUE(is_valid_utf8(quote_bytes("\xff\xfe")));
    const std::string long_token(5000, 'z');
    const std::string m = message("\xc3\xa9" + long_token, "\xc3\xa9" + long_token + "y", mode(CheckMode::Exact));
    EXPECT_LE(m.size(), kMaxCheckMessage);
    std::string many;
    for (int i = 0; i < 600; ++i) many += "\xc3\xa9";  // 1200 bytes of two-byte characters
    const std::string cut = bounded_message(many);
    EXPECT_EQ(cut.size(), 1024u);
    EXPECT_TRUE(is_valid_utf8(cut));
    EXPECT_TRUE(is_valid_utf8(bounded_message(std::string(2000, '\xff'))));
}

TEST(CheckerResult, ExitStatusesSignalsAndTimeout) {
    RunLimits five;
    five.timeout_secs = 5;
    PhaseOutcome o;
    EXPECT_EQ(checker_result(o, five).verdict, CheckVerdict::Passed);
    o.exit_code = 1;
    o.stderr_text = "bad answer\n";
    EXPECT_EQ(checker_result(o, five).verdict, CheckVerdict::WrongAnswer);
    EXPECT_EQ(checker_result(o, five).message, "bad answer");
    o.exit_code = 2;
    o.stderr_text.clear();
    EXPECT_EQ(checker_result(o, five).message, "the checker exited with status 2 (presentation error)");
    o.exit_code = 3;
    EXPECT_EQ(checker_result(o, five).verdict, CheckVerdict::CheckerFailed);
    o.exit_code = 0;
    o.signaled = true;
    o.signal = 11;
    EXPECT_EQ(checker_result(o, five).message, "the checker was killed by signal 11");
    o.signaled = false;
    o.timed_out = true;
    EXPECT_EQ(checker_result(o, five).verdict, CheckVerdict::CheckerFailed);
    EXPECT_EQ(checker_result(o, five).message, "the checker ran past the timeout of 5 s");
    EXPECT_EQ(checker_result(o, with_timeout_ms(five, 1500)).message,
              "the checker ran past the timeout of 1500 ms");
}

TEST(JudgeProtocol, TestlibAndKattisExitStatuses) {
    RunLimits five;
    five.timeout_secs = 5;
    struct Row {
        JudgeProtocol protocol;
        int status;
        CheckVerdict verdict;
        const char* message;  // with nothing on standard error
    };
    const JudgeProtocol T = JudgeProtocol::Testlib, K = JudgeProtocol::Kattis;
    const Row rows[] = {
        {T, 0, CheckVerdict::Passed, nullptr},
        {T, 1, CheckVerdict::WrongAnswer, "the checker exited with status 1 (wrong answer)"},
        {T, 2, CheckVerdict::WrongAnswer, "the checker exited with status 2 (presentation error)"},
        {T, 3, CheckVerdict::CheckerFailed, "the checker exited with status 3"},
        {T, 4, CheckVerdict::WrongAnswer, "the checker exited with status 4 (extra output)"},
        {T, 8, CheckVerdict::WrongAnswer, "the checker exited with status 8 (unexpected end of file)"},
        {T, 42, CheckVerdict::CheckerFailed, "the checker exited with status 42"},
        {K, 42, CheckVerdict::Passed, nullptr},
        {K, 43, CheckVerdict::WrongAnswer, "the interactor exited with status 43 (wrong answer)"},
        {K, 0, CheckVerdict::CheckerFailed,
         "the interactor exited with status 0 (kattis accepts with 42 and rejects with 43)"},
        {K, 1, CheckVerdict::CheckerFailed,
         "the interactor exited with status 1 (kattis accepts with 42 and rejects with 43)"},
    };
    for (const Row& row : rows) {
        PhaseOutcome o;
        o.exit_code = row.status;
        const char* who = row.protocol == K ? "interactor" : "checker";
        const CheckResult r = judge_program_result(row.protocol, o, five, std::nullopt, who);
        EXPECT_EQ(r.verdict, row.verdict) << row.status;
        EXPECT_EQ(r.message, row.message ? std::optional<std::string>(row.message) : std::nullopt) << row.status;
    }
    // The checker's own words: after the kind of wrong answer where the
    // status alone says it; the judge message before standard error.
    PhaseOutcome o;
    o.stderr_text = "stray line\n";
    o.exit_code = 4;
    EXPECT_EQ(judge_program_result(T, o, five, std::nullopt, "checker").message, "extra output: stray line");
    o.exit_code = 43;
    EXPECT_EQ(judge_program_result(K, o, five, std::nullopt, "checker").message, "stray line");
    EXPECT_EQ(judge_program_result(K, o, five, std::string("line 2 differs"), "checker").message, "line 2 differs");
    o.exit_code = 42;
    EXPECT_EQ(judge_program_result(K, o, five, std::string("fine"), "checker").message, std::nullopt);
    o.signaled = true;
    o.signal = 9;
    o.stderr_text.clear();
    EXPECT_EQ(judge_program_result(K, o, five, std::nullopt, "checker").message,
              "the checker was killed by signal 9");
    o.signaled = false;
    o.timed_out = true;
    EXPECT_EQ(judge_program_result(K, o, five, std::nullopt, "checker").verdict, CheckVerdict::CheckerFailed);
    EXPECT_EQ(parse_judge_protocol("kattis"), K);
    EXPECT_EQ(parse_judge_protocol("testlib"), T);
    EXPECT_EQ(parse_judge_protocol("Kattis"), std::nullopt);
    JudgeOptions bad;
    bad.judge_protocol = "x";
    const Result<JudgeSettings> settings = make_judge_settings(bad);
    ASSERT_FALSE(settings.ok());
    EXPECT_EQ(settings.error(), "unknown --judge-protocol 'x': use testlib or kattis");
}

// A private directory per judging program; what it holds is read and
// removed without following links.
TEST(FeedbackDir, FreshPrivateReadWithoutLinksAndRemoved) {
    testing_support::TempDir scratch, outside;
    testing_support::write_file(outside / "secret", "do not read\n");
    const int fd = open(scratch.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string first;
    {
        Result<FeedbackDir> made = FeedbackDir::create(fd, scratch.path());
        ASSERT_TRUE(made.ok()) << made.error();
        const FeedbackDir& dir = made.value();
        const std::string& path = dir.path();
        ASSERT_EQ(path.rfind(scratch.path() + "/_tessimar_feedback_", 0), 0u) << path;
        ASSERT_EQ(path.back(), '/');
        first = path;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(dir.judge_message(), std::nullopt);
        ASSERT_EQ(symlink((outside / "secret").c_str(), (path + "judgemessage.txt").c_str()), 0);
        EXPECT_EQ(dir.judge_message(), std::nullopt);  // a link is not followed
        ASSERT_EQ(unlink((path + "judgemessage.txt").c_str()), 0);
        testing_support::write_file(path + "judgemessage.txt", std::string(3000, 'x') + "\n\n");
        EXPECT_EQ(dir.judge_message(), std::string(kMaxCheckMessage, 'x'));
        ASSERT_EQ(mkdir((path + "sub").c_str(), 0700), 0);
        ASSERT_EQ(symlink(outside.path().c_str(), (path + "sub/out").c_str()), 0);
        Result<FeedbackDir> second = FeedbackDir::create(fd, scratch.path());
        ASSERT_TRUE(second.ok());
        EXPECT_NE(second.value().path(), path);
    }
    close(fd);
    EXPECT_TRUE(testing_support::list_dir(scratch.path()).empty());
    EXPECT_EQ(testing_support::read_file(outside / "secret"), "do not read\n");
}

// The order in which an exchange is judged: the interactor's failure, its
// rejection when it came first, the program's own failure, its verdict.
TEST(InteractiveVerdict, FirstRuleThatAppliesDecides) {
    const auto judged = [](const std::string& program_verdict, CheckVerdict said, bool first,
                           int program_signal = 0, std::function<CheckResult()> checker = {}) {
        InteractiveRun run;
        run.exchange.interactor_first = first;
        run.exchange.program.signaled = program_signal != 0;
        run.exchange.program.signal = program_signal;
        run.interactor = CheckResult{said, said == CheckVerdict::Passed ? std::nullopt
                                                                        : std::optional<std::string>("said so")};
        Json report = {{"verdict", program_verdict}, {"ok", program_verdict == "OK"}, {"stdout", "x"}};
        judge_exchange(report, run, checker);
        return report;
    };
    using V = CheckVerdict;
    EXPECT_EQ(judged("TLE", V::CheckerFailed, false)["verdict"], "FAIL");
    EXPECT_EQ(judged("OK", V::CheckerFailed, true)["verdict"], "FAIL");
    EXPECT_EQ(judged("RTE", V::WrongAnswer, true, 9)["verdict"], "WA");   // ended at once by the runner
    EXPECT_EQ(judged("TLE", V::WrongAnswer, true)["verdict"], "WA");
    EXPECT_EQ(judged("RTE", V::WrongAnswer, false, 11)["verdict"], "RTE");  // the program ended first
    EXPECT_EQ(judged("TLE", V::NotChecked, false)["verdict"], "TLE");       // both ended at the deadline
    EXPECT_EQ(judged("RTE", V::Passed, true, 13)["verdict"], "OK");         // a late broken pipe
    EXPECT_EQ(judged("RTE", V::Passed, true, 11)["verdict"], "RTE");
    EXPECT_EQ(judged("OK", V::WrongAnswer, false)["verdict"], "WA");
    const Json ok = judged("OK", V::Passed, false);
    EXPECT_EQ(ok["verdict"], "OK");
    EXPECT_EQ(ok["passed"], true);
    EXPECT_EQ(ok["stdout"], "");
    EXPECT_TRUE(ok["stdout_bytes"].is_null());
    EXPECT_FALSE(ok.contains("transcript"));
    EXPECT_EQ(ok["interactor"].size(), 5u);
    const Json checked = judged("OK", V::Passed, false, 0, [] {
        return CheckResult{CheckVerdict::WrongAnswer, "checker said no"};
    });
    EXPECT_EQ(checked["verdict"], "WA");
    EXPECT_EQ(checked["check_message"], "checker said no");
}

namespace {

DefaultValidatorFlags flags_of(const std::vector<std::string>& words) {
    Result<DefaultValidatorFlags> f = parse_default_validator_flags(words);
    EXPECT_TRUE(f.ok()) << f.error();
    return f.ok() ? f.value() : DefaultValidatorFlags{};
}

bool validates(const std::string& ans, const std::string& out, const std::vector<std::string>& words = {}) {
    return default_validate(ans, out, flags_of(words)).verdict == CheckVerdict::Passed;
}

}  // namespace

TEST(DefaultValidator, CaseAndWhitespaceRules) {
    EXPECT_TRUE(validates("Yes\n", "yES"));
    EXPECT_FALSE(validates("Yes\n", "yES", {"case_sensitive"}));
    EXPECT_TRUE(validates("Yes 1", "Yes 1", {"case_sensitive"}));
    // Any run of the six whitespace bytes separates; leading and trailing
    // runs are free.
    EXPECT_TRUE(validates("a b\nc\n", " \x0b a\r\n\tb \x0c c"));
    EXPECT_TRUE(validates("", " \n\n"));
    EXPECT_FALSE(validates("a", "a\x01"));  // not whitespace: part of the token
    EXPECT_FALSE(validates("a b", "ab"));
    // space_change_sensitive: every run must be the answer's, trailing ones too.
    const std::vector<std::string> strict = {"space_change_sensitive"};
    EXPECT_TRUE(validates("a  b\n", "A  B\n", strict));
    EXPECT_FALSE(validates("a  b\n", "a b\n", strict));
    EXPECT_FALSE(validates("a b\n", "a b", strict));
    EXPECT_FALSE(validates("a b\n", "a\tb\n", strict));
    EXPECT_FALSE(validates("", " ", strict));
    EXPECT_EQ(default_validate("a  b\n", "a b\n", flags_of(strict)).message,
              "line 1, token 2: expected the whitespace \"  \", got \" \" (space_change_sensitive)");
}

TEST(DefaultValidator, FloatTolerancesAbsoluteOrRelative) {
    // Without a tolerance numbers are text.
    EXPECT_FALSE(validates("0.0314", "3.14000000e-2"));
    EXPECT_TRUE(validates("0.0314", "3.14000000e-2", {"float_tolerance", "1e-9"}));
    // Integers in the answer are numbers too once a tolerance is set.
    EXPECT_TRUE(validates("200", "2.0e2", {"float_absolute_tolerance", "0"}));
    const std::vector<std::string> abs = {"float_absolute_tolerance", "1e-6"};
    const std::vector<std::string> rel = {"float_relative_tolerance", "1e-6"};
    EXPECT_TRUE(validates("0.3", "0.300001", abs));  // exactly the tolerance
    EXPECT_FALSE(validates("0.3", "0.3000011", abs));
    EXPECT_FALSE(validates("1000000000", "1000001000", abs));
    EXPECT_TRUE(validates("1000000000", "1000001000", rel));
    EXPECT_FALSE(validates("0", "0.0000001", rel));  // relative to 0 is nothing
    // Either one suffices.
    const std::vector<std::string> both = {"float_relative_tolerance", "1e-6", "float_absolute_tolerance", "1e-3"};
    EXPECT_TRUE(validates("0 1000000000", "0.0005 1000001000", both));
    EXPECT_FALSE(validates("0 1000000000", "0.002 1000001000", both));
    // A number expected, text given; text expected stays text.
    EXPECT_EQ(default_validate("1 2.5", "1 abc", flags_of(abs)).message,
              "line 1, token 2: expected the number \"2.5\", got \"abc\"");
    EXPECT_TRUE(validates("inf x", "INF X", abs));
    EXPECT_NE(default_validate("0.5", "0.7", flags_of(both)).message->find(
                  "(difference 0.19999999999999996, absolute tolerance 0.001, relative tolerance 1e-06)"),
              std::string::npos);
}

TEST(DefaultValidator, TokenCountsAndFlagErrors) {
    EXPECT_EQ(default_validate("1 2 3", "1 2", {}).message,
              "token 3: expected \"3\", but the output ends after 2 tokens (the answer has 3)");
    EXPECT_EQ(default_validate("1 2", "1\n2 3 4", {}).message,
              "line 2, token 2: expected the end of the output, got \"3\" (the output has 4 tokens, the answer 2)");
    const DefaultValidatorFlags f = flags_of({"float_tolerance", "1e-4", "case_sensitive"});
    EXPECT_EQ(f.float_absolute_tolerance, 1e-4);
    EXPECT_EQ(f.float_relative_tolerance, 1e-4);
    EXPECT_TRUE(f.case_sensitive);
    const auto error = [](const std::vector<std::string>& words) {
        Result<DefaultValidatorFlags> r = parse_default_validator_flags(words);
        return r.ok() ? std::string("accepted") : r.error();
    };
    EXPECT_EQ(error({"float_tolerance"}), "default validator flag 'float_tolerance' needs a number after it");
    EXPECT_EQ(error({"float_relative_tolerance", "-1"}),
              "invalid value '-1' of default validator flag 'float_relative_tolerance': a finite, non-negative "
              "decimal number is needed");
    EXPECT_EQ(error({"float_absolute_tolerance", "nan"}).rfind("invalid value 'nan'", 0), 0u);
    EXPECT_EQ(error({"ignore_case"}).rfind("unknown default validator flag 'ignore_case'", 0), 0u);
    EXPECT_EQ(error({"float_tolerance", "1", "float_absolute_tolerance", "1"}).rfind(
                  "default validator flag 'float_absolute_tolerance' repeats a tolerance", 0),
              0u);
    EXPECT_NE(error({"float_relative_tolerance", "1", "float_relative_tolerance", "2"}), "accepted");
    EXPECT_NE(error({"float_absolute_tolerance", "1", "float_tolerance", "2"}), "accepted");
    // Through the settings: the default validator takes over from the mode.
    JudgeSettings s = mode(CheckMode::Exact);
    s.default_validator = DefaultValidatorFlags{};
    EXPECT_TRUE(passes("A\n", " a", s));
}

TEST(JudgeProtocol, TestlibPointsAreTheCaseScore) {
    const RunLimits five = with_timeout_ms(RunLimits{}, 5000);
    const auto said = [&](const std::string& text) {
        PhaseOutcome o;
        o.exit_code = 7;
        o.stderr_text = text;
        return judge_program_result(JudgeProtocol::Testlib, o, five, std::nullopt, "checker");
    };
    const CheckResult half = said("points 0.5 two of four\n");
    EXPECT_EQ(half.verdict, CheckVerdict::WrongAnswer);
    EXPECT_EQ(half.score, 0.5);
    EXPECT_EQ(half.message, "points 0.5 two of four");
    const CheckResult full = said("points 1\n");
    EXPECT_EQ(full.verdict, CheckVerdict::Passed);
    EXPECT_EQ(full.score, 1.0);
    EXPECT_EQ(full.message, std::nullopt);
    EXPECT_EQ(said("points 0").score, 0.0);
    EXPECT_EQ(said("points 1.5").message, "the checker exited with status 7 (points) with points \"1.5\" outside [0, 1]");
    EXPECT_EQ(said("").message,
              "the checker exited with status 7 (points) but its message does not start with \"points X\": it wrote "
              "nothing");
    for (const char* bad : {"points", "points x", "ok 0.5", "points -0.1", "pointsy 1"}) {
        const CheckResult r = said(bad);
        EXPECT_EQ(r.verdict, CheckVerdict::CheckerFailed) << bad;
        EXPECT_EQ(r.score, std::nullopt) << bad;
    }
    // Exit 7 means nothing special to the package format's programs.
    PhaseOutcome o;
    o.exit_code = 7;
    o.stderr_text = "points 1";
    EXPECT_EQ(judge_program_result(JudgeProtocol::Kattis, o, five, std::nullopt, "checker").verdict,
              CheckVerdict::CheckerFailed);
}
