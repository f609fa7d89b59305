// The build cache's pure parts: the digest, the key's inputs and the
// manifest's reading.
#include <gtest/gtest.h>

#include <string>

#include "cache/build_key.hpp"
#include "cache/manifest.hpp"
#include "catalogue/resolve.hpp"
#include "common/sha256.hpp"

namespace tessimar {
namespace {

TEST(BuildKey, Sha256KnownDigestsWholeAndInPieces) {
    EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256 pieces;
    for (const char c : two_blocks) pieces.update(&c, 1);
    EXPECT_EQ(pieces.hex_digest(), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

TEST(BuildKey, EveryInputCounts) {
    const Result<LanguageSpec> c = resolve_language("c");
    const Result<LanguageSpec> cpp = resolve_language("cpp");
    ASSERT_TRUE(c && cpp);
    BuildInputs in;
    in.spec = &c.value();
    in.env = {{"PATH", "/usr/bin"}};
    in.compiler = "/usr/bin/gcc-12 dev=1 ino=2 size=3 mtime=4.5";
    in.source = "int main(void) { return 0; }\n";
    const std::string base = build_key(in);
    EXPECT_TRUE(is_hex_digest(base));
    EXPECT_EQ(build_key(in), base);
    BuildInputs other = in;
    other.source = "int main(void) { return 1; }\n";
    EXPECT_NE(build_key(other), base);
    other = in;
    other.compiler = "/usr/bin/gcc-12 dev=1 ino=2 size=3 mtime=4.6";
    EXPECT_NE(build_key(other), base);
    other = in;
    other.env["LANG"] = "C.UTF-8";
    EXPECT_NE(build_key(other), base);
    other = in;
    other.spec = &cpp.value();
    EXPECT_NE(build_key(other), base);
    // Fields cannot run into each other.
    other = in;
    other.env = {{"PATH=/usr", "/bin"}};
    BuildInputs moved = in;
    moved.env = {{"PATH", "/usr=/bin"}};
    EXPECT_NE(build_key(other), build_key(moved));
}

TEST(BuildKey, ManifestReadsWhatItWritesAndNothingElse) {
    const std::string key(64, 'a');
    const std::string digest(64, '0');
    Manifest m{key, {{true, 0755, 0, "", "classes"}, {false, 0644, 12, digest, "classes/A.class"},
                     {false, 0755, 17040, digest, "a.out"}}};
    const std::string text = manifest_text(m);
    const std::optional<Manifest> back = parse_manifest(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(manifest_text(*back), text);

    const auto with_items = [&](const std::string& items) {
        return parse_manifest("tessimar-exec build cache entry 1\nkey " + key + "\n" + items);
    };
    EXPECT_TRUE(with_items("f 0700 1 " + digest + " a.out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " ../a.out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " /a.out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " d/a.out\n"));  // its directory is not listed before it
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " a.out\nf 0700 1 " + digest + " a.out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + std::string(64, 'A') + " a.out\n"));
    EXPECT_FALSE(with_items("f 4755 1 " + digest + " a.out\n"));
    EXPECT_FALSE(with_items("f 0700 +1 " + digest + " a.out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " a out\n"));
    EXPECT_FALSE(with_items("f 0700 1 " + digest + " a.out"));  // cut short
    EXPECT_FALSE(parse_manifest(text.substr(0, text.size() / 2)));
}

}  // namespace
}  // namespace tessimar
