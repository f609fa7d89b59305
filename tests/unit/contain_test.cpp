// The pure parts of --contain: which directories a child's PATH and
// toolchain variables lead to, and the notes for what the kernel lacks.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "phase/contain.hpp"
#include "phase/run_user.hpp"
#include "workspace/work_dir_loan.hpp"
#include "test_support.hpp"

using namespace tessimar;

namespace {

// Exact directories only: never the parent of a PATH entry, so nothing
// beside rustup's proxies in ~/.cargo (credentials.toml) and nothing of
// ~/.pyenv but what its shims run.
TEST(ContainToolchains, PathLeadsToExactToolchainDirectoriesNeverToTheirParents) {
    testing_support::TempDir t;
    const std::string home = t / "u";
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    for (const char* d : {"/.cargo", "/.cargo/bin", "/.pyenv", "/.pyenv/shims", "/.pyenv/libexec", "/bin"})
        ASSERT_EQ(mkdir((home + d).c_str(), 0755), 0);
    testing_support::write_file(home + "/.cargo/bin/rustup", "", 0755);
    testing_support::write_file(home + "/.pyenv/libexec/pyenv", "", 0755);

    ChildEnv env{{"PATH", home + "/.cargo/bin/:" + home + "/.pyenv/shims:" + home + "/bin:relative::/usr/bin"},
                 {"JAVA_HOME", "/opt/jdk"}, {"GOPATH", home}};
    const ToolchainView v = derive_toolchains(env, {home, "/tmp"});
    const std::string py = home + "/.pyenv";
    const std::vector<std::string> roots = {
        home + "/.cargo/bin", py + "/shims",   py + "/libexec", py + "/versions",  py + "/version",
        py + "/pyenv.d",      py + "/plugins", home + "/bin",   "/usr/bin",       home + "/.rustup/toolchains",
        home + "/.rustup/settings.toml",       "/opt/jdk",      home + "/pkg/mod"};
    EXPECT_EQ(v.roots, roots);
    const EnvPairs set = {{"CARGO_HOME", home + "/.cargo"}, {"RUSTUP_HOME", home + "/.rustup"}};
    EXPECT_EQ(v.set, set);

    // A variable the caller set is kept, and leads to its exact parts.
    env["RUSTUP_HOME"] = "/srv/rustup";
    env["CARGO_HOME"] = "/srv/cargo";
    const ToolchainView w = derive_toolchains(env, {home, "/tmp"});
    EXPECT_EQ(w.set, EnvPairs{});
    for (const char* p : {"/srv/cargo/bin", "/srv/rustup/toolchains", "/srv/rustup/settings.toml"})
        EXPECT_NE(std::find(w.roots.begin(), w.roots.end(), p), w.roots.end()) << p;
    for (const char* p : {"/srv/cargo", "/srv/rustup"})
        EXPECT_EQ(std::find(w.roots.begin(), w.roots.end(), p), w.roots.end()) << p;
}

// The runtimes that keep an /etc directory per version are allowed by the
// family's name, and by nothing that merely starts like it.
TEST(ContainEtcFamilies, NameMatchesOnlyItsOwnFamily) {
    for (const char* name : {"java-11-openjdk", "java-25-openjdk", "java-30-vendor", "python3", "python3.9",
                             "python3.13", "python3.20"})
        EXPECT_TRUE(etc_runtime_entry(name)) << name;
    for (const char* name : {"", "java", "java-", "javafoo", "jvm", "python3.", "python3-x", "python3x", "python",
                             "python2.7", "php", "xjava-17"})
        EXPECT_FALSE(etc_runtime_entry(name)) << name;
    for (const char* name : {"7.4", "8.4", "10.0"}) EXPECT_TRUE(php_version_entry(name)) << name;
    for (const char* name : {"", "fpm", "mods-available", ".8.2", "x8"}) EXPECT_FALSE(php_version_entry(name)) << name;
}

TEST(ContainNotes, FollowWhatTheAbiLacksInOrder) {
    const auto notes = [](bool requested, int abi, bool no_net) {
        ContainPlan p;
        p.requested = requested;
        p.abi = abi;
        p.no_net = no_net;
        NoteList n;
        contain_notes(p, n);
        return std::vector<std::string>(n.begin(), n.end());
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(notes(false, 0, true), V{});
    EXPECT_EQ(notes(true, 0, true), V{"contain_unavailable"});
    EXPECT_EQ(notes(true, 3, true), (V{"contain_signals_not_scoped", "contain_tcp_not_restricted"}));
    EXPECT_EQ(notes(true, 3, false), V{"contain_signals_not_scoped"});
    EXPECT_EQ(notes(true, 5, true), V{"contain_signals_not_scoped"});
    EXPECT_EQ(notes(true, 6, true), V{});
}

TEST(ContainIdRange, OnlyTwoPlainIdsInOrderAndNeitherRootNorMinusOne) {
    const Result<IdRange> r = parse_id_range("60578-61183");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().first, 60578U);
    EXPECT_EQ(r.value().last, 61183U);
    EXPECT_TRUE(parse_id_range("7-7").ok());
    EXPECT_TRUE(parse_id_range("1-4294967294").ok());
    for (const char* bad : {"", "7", "7-", "-7", "0-5", "5-3", "+1-2", " 1-2", "1-2 ", "1-4294967295", "1-2-3",
                            "1--2", "99999999999-1"}) {
        const Result<IdRange> b = parse_id_range(bad);
        ASSERT_FALSE(b.ok()) << bad;
        EXPECT_EQ(b.error(), std::string("invalid TESSIMAR_CONTAIN_UIDS value \"") + bad +
                                 "\": expected FIRST-LAST, two user ids with 0 < FIRST <= LAST < 4294967295");
    }
}

// The note a run leaves beside its id reads back as the same loan, a path
// with a line break included; anything else reads as no loan.
TEST(ContainWorkDirLoan, NoteReadsBackAsTheSameLoan) {
    WorkDirLoan loan;
    loan.active = true;
    loan.to_uid = 61000;
    loan.to_gid = 61001;
    loan.owner_uid = 1000;
    loan.owner_gid = 100;
    loan.mode = 02750;
    loan.id = DirIdentity{66306, 1234567890123ULL};
    loan.acl_access = std::string("\x02\0\0\0\xff ab", 8);
    const std::optional<DescribedLoan> back = parse_loan(describe_loan("/srv/w\nx", loan));
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->work_dir, "/srv/w\nx");
    EXPECT_TRUE(back->loan.active);
    EXPECT_EQ(back->loan.to_uid, 61000U);
    EXPECT_EQ(back->loan.to_gid, 61001U);
    EXPECT_EQ(back->loan.owner_uid, 1000U);
    EXPECT_EQ(back->loan.owner_gid, 100U);
    EXPECT_EQ(back->loan.mode, static_cast<mode_t>(02750));
    EXPECT_EQ(back->loan.id, loan.id);
    EXPECT_EQ(back->loan.acl_access, loan.acl_access);
    EXPECT_FALSE(back->loan.acl_default.has_value());
    for (const std::string& bad : {std::string(), std::string("garbage"), describe_loan("relative", loan),
                                  describe_loan("/w", loan).substr(0, 30)})
        EXPECT_FALSE(parse_loan(bad).has_value()) << bad;
}

}  // namespace
