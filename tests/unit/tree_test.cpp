// Directory identity, the non-plain-entry scan and guarded tree removal on
// real trees.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/text.hpp"
#include "test_support.hpp"
#include "workspace/tree.hpp"

using namespace tessimar;
using testing_support::exists;
using testing_support::FastTempDir;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

bool lexists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Builds `depth` nested directories named "d" below `root` without ever
// handing a long path to the kernel; returns the full path of the deepest.
std::string build_deep_chain(const std::string& root, int depth, const char* leaf_fifo) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    std::string path = root;
    for (int i = 0; i < depth; ++i) {
        EXPECT_EQ(mkdirat(fd, "d", 0755), 0) << "level " << i << ": " << std::strerror(errno);
        const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_GE(next, 0) << "level " << i;
        close(fd);
        fd = next;
        path += "/d";
        if (fd < 0) return path;
    }
    if (leaf_fifo != nullptr) {
        EXPECT_EQ(mkfifoat(fd, leaf_fifo, 0644), 0);
    }
    const int file = openat(fd, "bottom.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(file, 0);
    close(file);
    close(fd);
    return path;
}

}  // namespace

TEST(SplitParent, Forms) {
    std::string parent, name;
    split_parent("/a/b", parent, name);
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    split_parent("b", parent, name);
    EXPECT_EQ(parent, ".");
    EXPECT_EQ(name, "b");
    split_parent("/a/b/", parent, name);
    EXPECT_EQ(parent, "/a");
    EXPECT_EQ(name, "b");
    split_parent("a/b//", parent, name);
    EXPECT_EQ(parent, "a");
    EXPECT_EQ(name, "b");
    split_parent("/b", parent, name);
    EXPECT_EQ(parent, "/");
    EXPECT_EQ(name, "b");
    split_parent("/tmp/w/.tessimar-run", parent, name);
    EXPECT_EQ(parent, "/tmp/w");
    EXPECT_EQ(name, ".tessimar-run");
}

TEST(DirIdentity, OnlyRealDirectories) {
    TempDir dir;
    const std::string sub = dir / "sub";
    make_dir(sub);
    write_file(dir / "file", "x");
    ASSERT_EQ(symlink(sub.c_str(), (dir / "link").c_str()), 0);

    const auto id = dir_identity(sub);
    ASSERT_TRUE(id.has_value());
    struct stat st;
    ASSERT_EQ(lstat(sub.c_str(), &st), 0);
    EXPECT_EQ(id->device, static_cast<std::uint64_t>(st.st_dev));
    EXPECT_EQ(id->inode, static_cast<std::uint64_t>(st.st_ino));
    EXPECT_EQ(dir_identity(sub), id);
    EXPECT_NE(dir_identity(dir.path()), id);

    EXPECT_FALSE(dir_identity(dir / "link").has_value());
    EXPECT_FALSE(dir_identity(dir / "file").has_value());
    EXPECT_FALSE(dir_identity(dir / "missing").has_value());
}

TEST(FindNonPlainEntry, PlainTreesAndEmptyDirectories) {
    TempDir dir;
    EXPECT_EQ(find_non_plain_entry(dir.path()).error, 0);
    EXPECT_FALSE(find_non_plain_entry(dir.path()).found.has_value());

    make_dir(dir / "a");
    make_dir(dir / "a/b");
    make_dir(dir / "a/b/c");
    make_dir(dir / "empty");
    write_file(dir / "a/one.txt", "1");
    write_file(dir / "a/b/c/two.txt", "2");
    write_file(dir / "top", "");
    const ScanResult r = find_non_plain_entry(dir.path());
    EXPECT_EQ(r.error, 0);
    EXPECT_FALSE(r.found.has_value()) << *r.found;
}

TEST(FindNonPlainEntry, FifoDeepInsideIsReportedWithItsFullPath) {
    TempDir dir;
    make_dir(dir / "a");
    make_dir(dir / "a/b");
    make_dir(dir / "a/b/c");
    write_file(dir / "a/b/file", "x");
    ASSERT_EQ(mkfifo((dir / "a/b/c/pipe").c_str(), 0644), 0);
    const ScanResult r = find_non_plain_entry(dir.path());
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.found, dir / "a/b/c/pipe");
}

TEST(FindNonPlainEntry, LinksAreReportedNotFollowed) {
    TempDir dir;
    make_dir(dir / "real");
    make_dir(dir / "scan");
    write_file(dir / "real/target", "x");
    ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "scan/to_dir").c_str()), 0);
    const ScanResult r = find_non_plain_entry(dir / "scan");
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.found, dir / "scan/to_dir");

    TempDir other;
    make_dir(other / "x");
    ASSERT_EQ(symlink("/nonexistent", (other / "x/dangling").c_str()), 0);
    EXPECT_EQ(find_non_plain_entry(other.path()).found, other / "x/dangling");
}

TEST(FindNonPlainEntry, SocketIsReported) {
    TempDir dir;
    make_dir(dir / "s");
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = dir / "s/sock";
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(sock);
    EXPECT_EQ(find_non_plain_entry(dir.path()).found, path);
}

TEST(FindNonPlainEntry, RootProblemsAreErrors) {
    TempDir dir;
    const ScanResult missing = find_non_plain_entry(dir / "missing");
    EXPECT_EQ(missing.error, ENOENT);
    EXPECT_FALSE(missing.found.has_value());
    write_file(dir / "file", "");
    EXPECT_EQ(find_non_plain_entry(dir / "file").error, ENOTDIR);
}

TEST(RemoveTree, RemovesAWholeTree) {
    TempDir dir;
    const std::string root = dir / "victim";
    make_dir(root);
    make_dir(root + "/a");
    make_dir(root + "/a/b");
    make_dir(root + "/empty");
    write_file(root + "/a/b/f", "x");
    write_file(root + "/g", "y", 0000);
    ASSERT_EQ(mkfifo((root + "/a/fifo").c_str(), 0644), 0);
    ASSERT_EQ(chmod((root + "/a/b").c_str(), 0555), 0);
    EXPECT_EQ(remove_tree(root, RemoveOptions{}), 0);
    EXPECT_FALSE(lexists(root));
    EXPECT_TRUE(exists(dir.path()));
}

TEST(RemoveTree, LinksInsideAreRemovedNotFollowed) {
    TempDir outside;
    make_dir(outside / "keep");
    write_file(outside / "keep/precious", "data");
    write_file(outside / "lone", "data");

    TempDir dir;
    const std::string root = dir / "victim";
    make_dir(root);
    make_dir(root + "/sub");
    ASSERT_EQ(symlink((outside / "keep").c_str(), (root + "/sub/dirlink").c_str()), 0);
    ASSERT_EQ(symlink((outside / "lone").c_str(), (root + "/filelink").c_str()), 0);
    ASSERT_EQ(link((outside / "lone").c_str(), (root + "/hardlink").c_str()), 0);
    EXPECT_EQ(remove_tree(root, RemoveOptions{}), 0);
    EXPECT_FALSE(lexists(root));
    EXPECT_EQ(testing_support::read_file(outside / "keep/precious"), "data");
    EXPECT_EQ(testing_support::read_file(outside / "lone"), "data");
}

TEST(RemoveTree, LinkAtTheTopIsRemovedItself) {
    TempDir outside;
    write_file(outside / "precious", "data");
    TempDir dir;
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "link").c_str()), 0);
    EXPECT_EQ(remove_tree(dir / "link", RemoveOptions{}), 0);
    EXPECT_FALSE(lexists(dir / "link"));
    EXPECT_EQ(testing_support::read_file(outside / "precious"), "data");

    write_file(dir / "plain", "x");
    EXPECT_EQ(remove_tree(dir / "plain", RemoveOptions{}), 0);
    EXPECT_FALSE(lexists(dir / "plain"));

    EXPECT_EQ(remove_tree(dir / "missing", RemoveOptions{}), ENOENT);
}

TEST(RemoveTree, ExpectedIdentity) {
    TempDir dir;
    const std::string root = dir / "victim";
    make_dir(root);
    write_file(root + "/f", "x");
    make_dir(dir / "other");

    RemoveOptions wrong;
    wrong.expected = dir_identity(dir / "other");
    ASSERT_TRUE(wrong.expected.has_value());
    EXPECT_NE(remove_tree(root, wrong), 0);
    EXPECT_TRUE(exists(root + "/f"));  // nothing removed

    // A link in place of the expected directory is refused too, and kept.
    RemoveOptions right;
    right.expected = dir_identity(root);
    ASSERT_EQ(symlink(root.c_str(), (dir / "alias").c_str()), 0);
    EXPECT_NE(remove_tree(dir / "alias", right), 0);
    EXPECT_TRUE(lexists(dir / "alias"));
    EXPECT_TRUE(exists(root + "/f"));

    EXPECT_EQ(remove_tree(root, right), 0);
    EXPECT_FALSE(lexists(root));
}

TEST(RemoveTree, ReplacedDirectoryIsRefused) {
    TempDir dir;
    const std::string root = dir / "victim";
    make_dir(root);
    RemoveOptions options;
    options.expected = dir_identity(root);
    ASSERT_EQ(rmdir(root.c_str()), 0);
    make_dir(dir / "tmp-keep");  // keep the old inode number from being reused at once
    make_dir(root);
    write_file(root + "/new", "x");
    const auto now = dir_identity(root);
    if (now == options.expected) GTEST_SKIP() << "file system reused the inode";
    EXPECT_NE(remove_tree(root, options), 0);
    EXPECT_TRUE(exists(root + "/new"));
}

TEST(RemoveTree, StaysOnItsOwnDevice) {
    TempDir dir;
    const std::string root = dir / "victim";
    make_dir(root);
    make_dir(root + "/mnt");
    if (mount("tmpfs", (root + "/mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    write_file(root + "/mnt/inside", "keep");
    const int rc = remove_tree(root, RemoveOptions{});
    const bool survived = exists(root + "/mnt/inside");
    umount2((root + "/mnt").c_str(), MNT_DETACH);
    EXPECT_EQ(rc, EXDEV);
    EXPECT_TRUE(survived);
}

TEST(DeepTree, TenThousandLevelsAreScannedAndRemoved) {
    FastTempDir dir;
    const std::string root = dir / "deep";
    make_dir(root);
    const std::string deepest = build_deep_chain(root, 10000, nullptr);
    ASSERT_FALSE(HasFailure());

    const ScanResult clean = find_non_plain_entry(root);
    EXPECT_EQ(clean.error, 0);
    EXPECT_FALSE(clean.found.has_value());

    EXPECT_EQ(remove_tree(root, RemoveOptions{}), 0);
    EXPECT_FALSE(lexists(root));
}

TEST(DeepTree, FifoAtTheBottomIsFoundWithItsFullPath) {
    FastTempDir dir;
    const std::string root = dir / "deep";
    make_dir(root);
    const std::string deepest = build_deep_chain(root, 10000, "pipe");
    ASSERT_FALSE(HasFailure());

    const ScanResult r = find_non_plain_entry(root);
    EXPECT_EQ(r.error, 0);
    ASSERT_TRUE(r.found.has_value());
    EXPECT_EQ(r.found->size(), deepest.size() + 5);
    EXPECT_TRUE(*r.found == deepest + "/pipe") << "path of " << r.found->size() << " bytes";

    RemoveOptions options;
    options.expected = dir_identity(root);
    EXPECT_EQ(remove_tree(root, options), 0);
    EXPECT_FALSE(lexists(root));
}
