// The build cache through the real binary: hits and misses, a compiler of
// another identity, entries that were tampered with, links, the bound, and
// a contained program's reach.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "phase/contain.hpp"
#include "test_support.hpp"

using namespace testing_support;
using nlohmann::json;

namespace {

const char* kUpperC =
    "#include <ctype.h>\n#include <stdio.h>\n"
    "int main(void) { int c; while ((c = getchar()) != EOF) putchar(toupper(c)); return 0; }\n";

Invocation cached_run(const std::string& program, const std::string& cache, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--build-cache", cache});
    return run_of("c", program, extra);
}

std::set<std::string> entries(const std::string& cache) {
    std::set<std::string> out;
    for (const std::string& name : list_dir(cache))
        if (name.size() == 64) out.insert(name);
    return out;
}

std::vector<std::string> keys_without(const json& report, const std::string& left_out) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : report.items())
        if (key != left_out) keys.push_back(key);
    return keys;
}

TEST(BuildCache, AnIdenticalRequestIsAHitAndAChangedSourceOrAFailedCompileIsNot) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    const std::string cache = dir / "cache";
    const json first = report_of(run_exec(cached_run(kUpperC, cache, {"--stdin", "abc"})));
    ASSERT_EQ(first.value("stdout", ""), "ABC") << first.dump();
    EXPECT_FALSE(first.contains("build_cached"));
    EXPECT_GT(first.value("compile_ms", 0u), 0u);
    struct stat st;
    ASSERT_EQ(lstat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(entries(cache).size(), 1u);

    const json second = report_of(run_exec(cached_run(kUpperC, cache, {"--stdin", "xyz"})));
    EXPECT_EQ(second.value("stdout", ""), "XYZ") << second.dump();
    EXPECT_EQ(second.at("build_cached"), json(true));
    EXPECT_EQ(second.at("compile_ms"), json(0));
    EXPECT_EQ(keys_without(second, "build_cached"), keys_without(first, ""));

    // One compile for every case.
    write_file(dir / "1.in", "q\n");
    write_file(dir / "1.out", "Q\n");
    const json cases = report_of(run_exec(cached_run(kUpperC, cache, {"--cases", dir.path()})));
    EXPECT_EQ(cases.at("build_cached"), json(true)) << cases.dump();
    EXPECT_EQ(cases.at("cases_passed"), json(1));
    EXPECT_FALSE(cases.at("cases")[0].contains("build_cached"));

    const std::string changed = std::string(kUpperC) + "/* another program */\n";
    const json third = report_of(run_exec(cached_run(changed, cache, {"--stdin", "k"})));
    EXPECT_EQ(third.value("stdout", ""), "K");
    EXPECT_FALSE(third.contains("build_cached"));
    EXPECT_EQ(entries(cache).size(), 2u);

    for (int i = 0; i < 2; ++i) {
        const json broken = report_of(run_exec(cached_run("int main(void) {\n", cache)));
        EXPECT_EQ(broken.value("phase", ""), "compile");
        EXPECT_FALSE(broken.contains("build_cached"));
    }
    EXPECT_EQ(entries(cache).size(), 2u);
}

TEST(BuildCache, ACompilerOfAnotherIdentityMisses) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    const std::string cache = dir / "cache";
    mkdir((dir / "bin").c_str(), 0755);
    write_file(dir / "bin/gcc", "#!/bin/sh\nexec /usr/bin/gcc \"$@\"\n", 0755);
    const auto through_wrapper = [&] {
        Invocation inv = cached_run(kUpperC, cache, {"--stdin", "w"});
        std::erase(inv.unset, std::string("TESSIMAR_RUNTIME_PATH"));
        inv.set["TESSIMAR_RUNTIME_PATH"] = dir.path() + "/bin:" + kSearchPath;
        return report_of(run_exec(inv));
    };
    EXPECT_FALSE(through_wrapper().contains("build_cached"));
    EXPECT_EQ(through_wrapper().value("build_cached", false), true);
    // The same compiler by its bytes, but touched: another identity.
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "bin/gcc").c_str(), times, 0), 0);
    const json touched = through_wrapper();
    EXPECT_EQ(touched.value("stdout", ""), "W");
    EXPECT_FALSE(touched.contains("build_cached"));
    // And the compiler found without the wrapper is yet another.
    EXPECT_FALSE(report_of(run_exec(cached_run(kUpperC, cache, {"--stdin", "w"}))).contains("build_cached"));
    EXPECT_EQ(entries(cache).size(), 3u);
}

TEST(BuildCache, AnEntryThatDoesNotMatchItsManifestIsNotUsedAndIsReplaced) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    const std::string cache = dir / "cache";
    (void)report_of(run_exec(cached_run(kUpperC, cache)));
    ASSERT_EQ(entries(cache).size(), 1u);
    const std::string key = *entries(cache).begin();
    const std::string stored = cache + "/" + key + "/tree/a.out";

    // One byte changed, the size kept: only the digest can tell.
    std::string bytes = read_file(stored);
    ASSERT_GT(bytes.size(), 100u);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x55);
    write_file(stored, bytes, 0700);
    ProcessResult r = run_exec(cached_run(kUpperC, cache, {"--stdin", "ok"}));
    json j = report_of(r);
    EXPECT_EQ(j.value("stdout", ""), "OK") << j.dump();
    EXPECT_FALSE(j.contains("build_cached"));
    EXPECT_NE(r.err.find("does not match its digest"), std::string::npos) << r.err;
    // The compile stored a good entry in its place.
    EXPECT_EQ(report_of(run_exec(cached_run(kUpperC, cache))).value("build_cached", false), true);

    // A program planted in place of the stored one, with its own size.
    write_file(stored, "#!/bin/sh\necho planted\n", 0700);
    j = report_of(run_exec(cached_run(kUpperC, cache, {"--stdin", "ok"})));
    EXPECT_EQ(j.value("stdout", ""), "OK");
    EXPECT_FALSE(j.contains("build_cached"));
}

TEST(BuildCache, LinksAreNeitherFollowedNorUsed) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    const std::string cache = dir / "cache";
    (void)report_of(run_exec(cached_run(kUpperC, cache)));
    const std::string key = *entries(cache).begin();
    // The whole entry moved out and a link left at its name: the entry is
    // whole and matches, but is reached only through the link.
    ASSERT_EQ(rename((cache + "/" + key).c_str(), (dir / "elsewhere").c_str()), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (cache + "/" + key).c_str()), 0);
    json j = report_of(run_exec(cached_run(kUpperC, cache, {"--stdin", "l"})));
    EXPECT_EQ(j.value("stdout", ""), "L");
    EXPECT_FALSE(j.contains("build_cached"));
    EXPECT_TRUE(exists(dir / "elsewhere/tree/a.out"));  // the link was removed, not what it led to
    struct stat st;
    ASSERT_EQ(lstat((cache + "/" + key).c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // A stored file replaced by a link to an exact copy of itself.
    const std::string stored = cache + "/" + key + "/tree/a.out";
    write_file(dir / "copy", read_file(stored), 0700);
    ASSERT_EQ(unlink(stored.c_str()), 0);
    ASSERT_EQ(symlink((dir / "copy").c_str(), stored.c_str()), 0);
    EXPECT_FALSE(report_of(run_exec(cached_run(kUpperC, cache))).contains("build_cached"));

    // The cache directory itself as a link: refused, the run goes on.
    ASSERT_EQ(symlink(cache.c_str(), (dir / "link").c_str()), 0);
    const ProcessResult r = run_exec(cached_run(kUpperC, dir / "link", {"--stdin", "m"}));
    j = report_of(r);
    EXPECT_EQ(j.value("stdout", ""), "M");
    EXPECT_FALSE(j.contains("build_cached"));
    EXPECT_NE(r.err.find("is a symbolic link"), std::string::npos) << r.err;
}

TEST(BuildCache, TheBoundEvictsTheLeastRecentlyUsedEntry) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    const std::string cache = dir / "cache";
    // About 400 kB of initialised data each: two fit in 1 MiB, three do not.
    const auto big = [](char tag) {
        return std::string("#include <stdio.h>\nchar pad[400000] = {'") + tag +
               "'};\nint main(void) { putchar(pad[0]); return 0; }\n";
    };
    const auto run_big = [&](char tag) {
        return report_of(run_exec(cached_run(big(tag), cache, {"--build-cache-mb", "1"})));
    };
    EXPECT_EQ(run_big('a').value("stdout", ""), "a");
    const std::set<std::string> after_a = entries(cache);
    EXPECT_EQ(run_big('b').value("stdout", ""), "b");
    std::set<std::string> after_b = entries(cache);
    ASSERT_EQ(after_b.size(), 2u);
    for (const std::string& k : after_a) after_b.erase(k);
    const std::string b_key = *after_b.begin();
    EXPECT_EQ(run_big('a').value("build_cached", false), true);  // a is now the more recent
    EXPECT_EQ(run_big('c').value("stdout", ""), "c");
    const std::set<std::string> left = entries(cache);
    EXPECT_EQ(left.size(), 2u);
    EXPECT_EQ(left.count(b_key), 0u);
    EXPECT_EQ(left.count(*after_a.begin()), 1u);
}

// The program tries to create a file in the cache directory and to write
// an entry's manifest.
std::string writer_of(const std::string& cache, const std::string& key) {
    return "#include <stdio.h>\n"
           "int main(void) {\n"
           "  FILE* a = fopen(\"" + cache + "/planted\", \"w\");\n"
           "  FILE* b = fopen(\"" + cache + "/" + key + "/manifest\", \"a\");\n"
           "  printf(\"%s %s\", a ? \"created\" : \"refused\", b ? \"appended\" : \"refused\");\n"
           "  return 0;\n}\n";
}

TEST(BuildCache, AContainedProgramCannotWriteTheCache) {
    if (!have("/usr/bin/gcc")) GTEST_SKIP() << "no gcc";
    TempDir dir;
    open_up(dir.path());
    const std::string cache = dir / "cache";
    (void)report_of(run_exec(cached_run(kUpperC, cache)));
    const std::string key = *entries(cache).begin();
    // Without --contain, as the runner's own uid, it can: the test can tell.
    EXPECT_EQ(report_of(run_exec(cached_run(writer_of(cache, key), cache))).value("stdout", ""),
              "created appended");
    ASSERT_EQ(unlink((cache + "/planted").c_str()), 0);
    if (geteuid() == 0) {  // a user id of its own
        const json j = report_of(run_exec(cached_run(writer_of(cache, key), cache, {"--contain"})));
        EXPECT_EQ(j.value("stdout", ""), "refused refused") << j.dump();
    }
    // An ordinary user's runner: Landlock alone keeps the cache out of reach.
    if (tessimar::landlock_abi() == 0 || !have("/usr/bin/setpriv")) GTEST_SKIP() << "no Landlock or setpriv";
    const std::string own = dir / "own-cache";
    Invocation inv = cached_run(kUpperC, own);
    inv.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    (void)report_of(run_exec(inv));
    ASSERT_EQ(entries(own).size(), 1u);
    inv = cached_run(writer_of(own, *entries(own).begin()), own, {"--contain"});
    inv.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    const json j = report_of(run_exec(inv));
    EXPECT_EQ(j.value("stdout", ""), "refused refused") << j.dump();
    EXPECT_FALSE(exists(own + "/planted"));
}

}  // namespace
