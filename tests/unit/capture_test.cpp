// Reading capture files back under the output cap, on real files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "report/output_capture.hpp"
#include "test_support.hpp"

using namespace tessimar;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

const std::string kMarker = "\n...[truncated]";
const std::string kFFFD = "\xEF\xBF\xBD";

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

}  // namespace

TEST(OutputLimit, Bytes) {
    EXPECT_EQ(output_limit_bytes(0), 65536u);
    EXPECT_EQ(output_limit_bytes(1), 1024u);
    EXPECT_EQ(output_limit_bytes(64), 65536u);
    EXPECT_EQ(output_limit_bytes(18446744073709551615ull), 18446744073709551615ull);
    EXPECT_EQ(std::string(kTruncationMarker), kMarker);
    EXPECT_EQ(kMarker.size(), 15u);
}

TEST(ReadCapturedOutput, ExactlyTheDefaultLimitIsNotTruncated) {
    TempDir dir;
    const std::string data = pattern(65536);
    write_file(dir / "run.out", data);
    const CapturedOutput c = read_captured_output(dir / "run.out", 0);
    EXPECT_FALSE(c.truncated);
    EXPECT_FALSE(c.error.has_value());
    EXPECT_EQ(c.size, 65536u);
    EXPECT_EQ(c.text, data);
}

TEST(ReadCapturedOutput, OneByteOverTheDefaultLimitIsCut) {
    TempDir dir;
    const std::string data = pattern(65537);
    write_file(dir / "run.out", data);
    const CapturedOutput c = read_captured_output(dir / "run.out", 0);
    EXPECT_TRUE(c.truncated);
    EXPECT_FALSE(c.error.has_value());
    EXPECT_EQ(c.size, 65537u);
    EXPECT_EQ(c.text, data.substr(0, 65536) + kMarker);
}

TEST(ReadCapturedOutput, SmallLimit) {
    TempDir dir;
    const std::string data = pattern(2000);
    write_file(dir / "run.err", data);
    const CapturedOutput c = read_captured_output(dir / "run.err", 1);
    EXPECT_TRUE(c.truncated);
    EXPECT_EQ(c.size, 2000u);
    EXPECT_EQ(c.text, data.substr(0, 1024) + kMarker);

    // Exactly 1024 bytes under the same limit: kept whole.
    write_file(dir / "exact", data.substr(0, 1024));
    const CapturedOutput e = read_captured_output(dir / "exact", 1);
    EXPECT_FALSE(e.truncated);
    EXPECT_EQ(e.text, data.substr(0, 1024));
}

TEST(ReadCapturedOutput, LargeFileWithLargeLimitIsReadWhole) {
    // Exercises the growing chunk sizes well past the first few reads.
    TempDir dir;
    const std::string data = pattern(3 * 1024 * 1024 + 17);
    write_file(dir / "big", data);
    const CapturedOutput c = read_captured_output(dir / "big", 4096);
    EXPECT_FALSE(c.truncated);
    EXPECT_EQ(c.size, data.size());
    EXPECT_EQ(c.text, data);
    const CapturedOutput cut = read_captured_output(dir / "big", 3000);
    EXPECT_TRUE(cut.truncated);
    EXPECT_EQ(cut.text, data.substr(0, 3000 * 1024) + kMarker);
}

TEST(ReadCapturedOutput, MultiByteCharacterStraddlingTheLimit) {
    TempDir dir;
    // 1023 ASCII bytes, then "€" (3 bytes) occupying bytes 1023..1025.
    const std::string data = std::string(1023, 'x') + "\xE2\x82\xAC" + "tail";
    write_file(dir / "out", data);
    const CapturedOutput c = read_captured_output(dir / "out", 1);
    EXPECT_TRUE(c.truncated);
    EXPECT_EQ(c.text, std::string(1023, 'x') + kFFFD + kMarker);
    EXPECT_EQ(c.size, data.size());

    // Two of its bytes inside the limit: still a single replacement.
    const std::string data2 = std::string(1022, 'x') + "\xE2\x82\xAC" + "tail";
    write_file(dir / "out2", data2);
    const CapturedOutput c2 = read_captured_output(dir / "out2", 1);
    EXPECT_EQ(c2.text, std::string(1022, 'x') + kFFFD + kMarker);
}

TEST(ReadCapturedOutput, NonUtf8BytesAreReplacedAndSizeCountsRawBytes) {
    TempDir dir;
    const std::string data = "ok\xFF\xFE\xC0\xAF" "end\xE2\x82";
    write_file(dir / "out", data);
    const CapturedOutput c = read_captured_output(dir / "out", 0);
    EXPECT_FALSE(c.truncated);
    EXPECT_FALSE(c.error.has_value());
    EXPECT_EQ(c.size, data.size());
    EXPECT_EQ(c.text, "ok" + kFFFD + kFFFD + kFFFD + kFFFD + "end" + kFFFD);
}

TEST(ReadCapturedOutput, MissingFile) {
    TempDir dir;
    const std::string path = dir / "never.out";
    const CapturedOutput c = read_captured_output(path, 0);
    EXPECT_EQ(c.text, "");
    EXPECT_FALSE(c.truncated);
    EXPECT_FALSE(c.size.has_value());
    ASSERT_TRUE(c.error.has_value());
    EXPECT_EQ(*c.error, "open " + path + " failed: No such file or directory (os error 2)");
}

TEST(ReadCapturedOutput, PathInMessagesIsInDisplayForm) {
    TempDir dir;
    const std::string path = dir / "bad\xFFname";
    const CapturedOutput c = read_captured_output(path, 0);
    ASSERT_TRUE(c.error.has_value());
    EXPECT_EQ(*c.error,
              "open " + dir.path() + "/bad" + kFFFD + "name failed: No such file or directory (os error 2)");
}

TEST(ReadCapturedOutput, EmptyFile) {
    TempDir dir;
    write_file(dir / "empty", "");
    const CapturedOutput c = read_captured_output(dir / "empty", 0);
    EXPECT_EQ(c.text, "");
    EXPECT_FALSE(c.truncated);
    EXPECT_FALSE(c.error.has_value());
    EXPECT_EQ(c.size, 0u);
}

TEST(ReadCapturedOutput, FifoWithoutWriterDoesNotHang) {
    TempDir dir;
    const std::string fifo = dir / "run.out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const auto start = std::chrono::steady_clock::now();
    const CapturedOutput c = read_captured_output(fifo, 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, std::chrono::seconds(20));  // a hang would never return at all
    EXPECT_EQ(c.text, "");
    EXPECT_FALSE(c.truncated);
    EXPECT_EQ(c.size, 0u);
}

TEST(ReadCapturedOutput, DirectoryReportsTheReadError) {
    TempDir dir;
    const std::string sub = dir / "run.out";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const CapturedOutput c = read_captured_output(sub, 0);
    EXPECT_EQ(c.text, "");
    EXPECT_FALSE(c.truncated);
    EXPECT_TRUE(c.size.has_value());
    ASSERT_TRUE(c.error.has_value());
    EXPECT_EQ(*c.error, "read " + sub + " failed after 0 bytes: Is a directory (os error 21)");
}

TEST(ReadCapturedOutput, EndlessDeviceIsCapped) {
    const CapturedOutput c = read_captured_output("/dev/zero", 1);
    EXPECT_TRUE(c.truncated);
    EXPECT_FALSE(c.error.has_value());
    EXPECT_EQ(c.text, std::string(1024, '\0') + kMarker);
    EXPECT_EQ(c.size, 0u);
}

// A link planted in place of the capture file is never followed: the runner
// would otherwise read, with its own rights, whatever the link names.
TEST(ReadCapturedOutput, LinkInPlaceOfTheFileIsRefused) {
    TempDir dir;
    write_file(dir / "secret", "do not read me");
    const std::string link = dir / "run.out";
    ASSERT_EQ(symlink((dir / "secret").c_str(), link.c_str()), 0);
    const CapturedOutput c = read_captured_output(link, 0);
    EXPECT_EQ(c.text, "");
    EXPECT_FALSE(c.truncated);
    ASSERT_TRUE(c.error.has_value());
    EXPECT_EQ(*c.error, "open " + link + " failed: Too many levels of symbolic links (os error 40)");
}

TEST(ReadCapturedOutput, FileIsLeftInPlace) {
    TempDir dir;
    write_file(dir / "keep", "abc");
    (void)read_captured_output(dir / "keep", 0);
    EXPECT_EQ(testing_support::read_file(dir / "keep"), "abc");
}
