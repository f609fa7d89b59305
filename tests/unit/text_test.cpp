// UTF-8 handling, the OS error text, the strict number rule and the small
// string and arithmetic helpers of common/text.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string>

#include "common/base64.hpp"
#include "common/relative_path.hpp"
#include "common/text.hpp"

using namespace tessimar;

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::string rep(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += kFFFD;
    return s;
}

}  // namespace

TEST(Utf8Lossy, ValidTextPassesThroughUnchanged) {
    const std::string samples[] = {
        "", "plain ascii", std::string("nul\0inside", 10), "\xC3\xA9",  // é
        "\xE2\x82\xAC",                                                    // €
        "\xF0\x9F\x98\x80",                                                // U+1F600
        "\xF4\x8F\xBF\xBF",                                                // U+10FFFF
        "\xED\x9F\xBF",                                                    // U+D7FF
        "\xEE\x80\x80",                                                    // U+E000
        "\x7F",
    };
    for (const std::string& s : samples) {
        EXPECT_TRUE(is_valid_utf8(s)) << s;
        EXPECT_EQ(utf8_lossy(s), s);
    }
}

TEST(Utf8Lossy, TruncatedSequenceAtEndIsOneReplacement) {
    EXPECT_EQ(utf8_lossy("\xE2\x82"), kFFFD);
    EXPECT_EQ(utf8_lossy("ab\xE2\x82"), "ab" + kFFFD);
    EXPECT_EQ(utf8_lossy("\xE2"), kFFFD);
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98"), kFFFD);
    EXPECT_EQ(utf8_lossy("\xC3"), kFFFD);
}

TEST(Utf8Lossy, TruncatedSequenceBeforeAsciiKeepsTheAscii) {
    EXPECT_EQ(utf8_lossy("\xF0\x9F\x98" "A"), kFFFD + "A");
    EXPECT_EQ(utf8_lossy("\xE2\x82" "A\xC3\xA9"), kFFFD + "A\xC3\xA9");
    // A truncated sequence followed by a complete one: only the first is replaced.
    EXPECT_EQ(utf8_lossy("\xE2\x82\xE2\x82\xAC"), kFFFD + "\xE2\x82\xAC");
}

TEST(Utf8Lossy, OverlongFormsReplaceEachByte) {
    EXPECT_EQ(utf8_lossy("\xC0\xAF"), rep(2));
    EXPECT_EQ(utf8_lossy("\xC1\xBF"), rep(2));
    EXPECT_EQ(utf8_lossy("\xE0\x80\xAF"), rep(3));
    EXPECT_EQ(utf8_lossy("\xF0\x80\x80\xAF"), rep(4));
}

TEST(Utf8Lossy, SurrogatesAndOutOfRangeReplaceEachByte) {
    EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), rep(3));
    EXPECT_EQ(utf8_lossy("\xED\xBF\xBF"), rep(3));
    EXPECT_EQ(utf8_lossy("\xF4\x90\x80\x80"), rep(4));  // above U+10FFFF
    EXPECT_EQ(utf8_lossy("\xF5\x80\x80\x80"), rep(4));
    EXPECT_EQ(utf8_lossy("\xFF"), rep(1));
    EXPECT_EQ(utf8_lossy("\xFE\xFF"), rep(2));
}

TEST(Utf8Lossy, LoneContinuationBytes) {
    EXPECT_EQ(utf8_lossy("\x80"), rep(1));
    EXPECT_EQ(utf8_lossy("a\x80\x80z"), "a" + rep(2) + "z");
    // A valid lead with a continuation, then one continuation too many.
    EXPECT_EQ(utf8_lossy("\xC3\xA9\xA9"), "\xC3\xA9" + kFFFD);
}

TEST(Utf8Lossy, MaximalSubpartStopsAtTheFirstBadContinuation) {
    // E1 80 is a valid prefix of a 3-byte sequence, 41 breaks it: one U+FFFD.
    EXPECT_EQ(utf8_lossy("\xE1\x80\x41"), kFFFD + "A");
    // F1 80 80 then C3 A9 (a complete é): one U+FFFD then é.
    EXPECT_EQ(utf8_lossy("\xF1\x80\x80\xC3\xA9"), kFFFD + "\xC3\xA9");
    // The second byte out of the narrowed range for E0 and F4: lead alone is the subpart.
    EXPECT_EQ(utf8_lossy("\xE0\x9F\x80"), rep(3));
    EXPECT_EQ(utf8_lossy("\xF4\x90\x80"), rep(3));
}

TEST(IsValidUtf8, RejectsEveryIllFormedShape) {
    const std::string bad[] = {
        "\xE2\x82",         "\xF0\x9F\x98" "A", "\xC0\xAF",         "\xED\xA0\x80",
        "\x80",             "\xFF",             "\xF4\x90\x80\x80", "ok\xC3",
        "\xE0\x80\x80",     "\xC2",
    };
    for (const std::string& s : bad) EXPECT_FALSE(is_valid_utf8(s)) << testing::PrintToString(s);
    EXPECT_TRUE(is_valid_utf8(""));
}

TEST(Utf8Lossy, OutputIsAlwaysValid) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string out = utf8_lossy(all);
    EXPECT_TRUE(is_valid_utf8(out));
    // 0x00-0x7F kept, 0x80-0xFF each an ill-formed subpart of its own (no byte
    // is followed by a valid continuation for it here except C2..F4 -> next byte).
    EXPECT_EQ(out.substr(0, 128), all.substr(0, 128));
}

TEST(DisplayPath, ReplacesInvalidBytes) {
    EXPECT_EQ(display_path("/tmp/a\xFF" "b"), "/tmp/a" + kFFFD + "b");
    EXPECT_EQ(display_path("/tmp/plain"), "/tmp/plain");
}

TEST(OsErrorText, SystemMessageAndNumber) {
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
    EXPECT_EQ(os_error_text(EISDIR), "Is a directory (os error 21)");
    EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
    // An unknown number still yields a message and the number.
    const std::string unknown = os_error_text(99999);
    EXPECT_TRUE(unknown.ends_with(" (os error 99999)")) << unknown;
}

TEST(ParseU64, AcceptedForms) {
    EXPECT_EQ(parse_u64("0"), 0u);
    EXPECT_EQ(parse_u64("5"), 5u);
    EXPECT_EQ(parse_u64("+5"), 5u);
    EXPECT_EQ(parse_u64("007"), 7u);
    EXPECT_EQ(parse_u64("+0"), 0u);
    EXPECT_EQ(parse_u64("000000000000000000000000000001"), 1u);
    EXPECT_EQ(parse_u64("18446744073709551615"), kMax);
    EXPECT_EQ(parse_u64("+18446744073709551615"), kMax);
    EXPECT_EQ(parse_u64("18446744073709551610"), kMax - 5);
}

TEST(ParseU64, RejectedForms) {
    const char* bad[] = {
        "18446744073709551616", "18446744073709551620", "99999999999999999999",
        "",   "+",  "-0", "-5", " 5", "5 ", "5s", "1.5", "0x10", "++5", "+-5", "1e3",
        "1_000", "\t5", "5\n", "\xEF\xBC\x95",  // FULLWIDTH DIGIT FIVE
    };
    for (const char* s : bad) EXPECT_FALSE(parse_u64(s).has_value()) << '"' << s << '"';
    EXPECT_FALSE(parse_u64(std::string("5\0", 2)).has_value());
}

TEST(JoinPath, Forms) {
    EXPECT_EQ(join_path("/tmp/w", "main.py"), "/tmp/w/main.py");
    EXPECT_EQ(join_path("/tmp/w/", "main.py"), "/tmp/w/main.py");
    EXPECT_EQ(join_path("/", "x"), "/x");
    EXPECT_EQ(join_path("", "x"), "x");
    EXPECT_EQ(join_path("rel", "x"), "rel/x");
    EXPECT_EQ(join_path("/tmp/w", "/abs"), "/abs");
}

TEST(ReplaceAll, LeftToRightWithoutOverlap) {
    EXPECT_EQ(replace_all("aaaa", "aa", "b"), "bb");
    EXPECT_EQ(replace_all("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replace_all("x{file}y{file}z", "{file}", "F"), "xFyFz");
    EXPECT_EQ(replace_all("none here", "{file}", "F"), "none here");
    EXPECT_EQ(replace_all("", "a", "b"), "");
    // The inserted value is not scanned again.
    EXPECT_EQ(replace_all("ab", "a", "aa"), "aab");
    EXPECT_EQ(replace_all("{x}", "{x}", "{x}{x}"), "{x}{x}");
}

TEST(Saturating, MulAndAdd) {
    EXPECT_EQ(sat_mul(3, 4), 12u);
    EXPECT_EQ(sat_mul(0, kMax), 0u);
    EXPECT_EQ(sat_mul(kMax, 1), kMax);
    EXPECT_EQ(sat_mul(kMax, 2), kMax);
    EXPECT_EQ(sat_mul(1ull << 32, 1ull << 32), kMax);
    EXPECT_EQ(sat_mul(1ull << 31, 1ull << 32), 1ull << 63);
    EXPECT_EQ(sat_add(1, 2), 3u);
    EXPECT_EQ(sat_add(kMax, 0), kMax);
    EXPECT_EQ(sat_add(kMax, 1), kMax);
    EXPECT_EQ(sat_add(kMax - 1, 1), kMax);
    EXPECT_EQ(sat_add(kMax / 2 + 1, kMax / 2 + 1), kMax);
}

// RFC 4648, section 10, both ways; then every shape a strict decoder refuses.
TEST(Base64, RfcVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},     {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64_encode(plain), encoded);
        EXPECT_EQ(base64_decode(encoded), std::optional<std::string>(plain)) << encoded;
    }
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    EXPECT_EQ(base64_decode(base64_encode(all)), std::optional<std::string>(all));
    EXPECT_EQ(base64_encode(std::string("\xfb\xff", 2)), "+/8=");
}

TEST(Base64, DecodeRejectsAnythingNotCanonical) {
    for (const char* bad : {"Zg", "Zg=", "Zm9", "Z===", "====", "Zg==Zg==", "Zm=v", "Zm9v\n", " Zm9v", "Zm9-",
                            "Zm9_", "Zh==", "Zm9=", "Zm8=Zm9v"})
        EXPECT_EQ(base64_decode(bad), std::nullopt) << bad;
    EXPECT_EQ(base64_decode(std::string("Zm9\0", 4)), std::nullopt);
}

TEST(RelativePath, ComponentsAndRefusals) {
    EXPECT_EQ(split_relative_path("a/b/c", true).value(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(split_relative_path("./a//b/", false).value(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(split_relative_path("..a/b..", true).value(), (std::vector<std::string>{"..a", "b.."}));
    EXPECT_EQ(split_relative_path("", false).error(), "is empty");
    EXPECT_EQ(split_relative_path("/etc/passwd", false).error(), "is absolute");
    EXPECT_EQ(split_relative_path("a/../../b", false).error(), "has a '..' component");
    EXPECT_EQ(split_relative_path("..", false).error(), "has a '..' component");
    EXPECT_EQ(split_relative_path("./", false).error(), "names no file");
    EXPECT_EQ(split_relative_path("a//b", true).error(), "has an empty component");
    EXPECT_EQ(split_relative_path("./a", true).error(), "has a '.' component");
}
