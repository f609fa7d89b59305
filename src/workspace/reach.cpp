#include "workspace/reach.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>

#include "common/fd.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

bool lets_pass(int fd, const struct stat& st, std::uint32_t uid, std::uint32_t gid) {
    const mode_t x = st.st_uid == uid ? S_IXUSR : st.st_gid == gid ? S_IXGRP : S_IXOTH;
    if ((st.st_mode & x) != 0) return true;
    // An access control list may name the id or its group: counted as passable.
    return fgetxattr(fd, "system.posix_acl_access", nullptr, 0) >= 0;
}

// The canonical path of an open directory, when /proc tells it.
std::optional<std::string> path_of(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string buf(4096, '\0');
    const ssize_t n = readlink(link, buf.data(), buf.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buf.size() || buf[0] != '/') return std::nullopt;
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// The description of `fd`'s directory, `level` levels above `dir`.
std::string describe_closed(int fd, const struct stat& st, const std::string& dir, unsigned level) {
    const std::optional<std::string> at = path_of(fd);
    std::string name = display_path(dir);
    if (at) name = display_path(*at);
    else if (level > 0) name = "the directory " + std::to_string(level) + " levels above " + name;
    return name + " (mode " + mode_text(st.st_mode) + ", owner uid " + std::to_string(st.st_uid) + ")";
}

}  // namespace

std::optional<std::string> closed_on_the_way(const std::string& dir, std::uint32_t uid, std::uint32_t gid,
                                             bool including_dir) {
    UniqueFd current(retry_eintr([&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!current.valid()) return std::nullopt;
    struct stat here;
    if (fstat(current.get(), &here) != 0) return std::nullopt;
    if (including_dir && !lets_pass(current.get(), here, uid, gid)) return describe_closed(current.get(), here, dir, 0);
    // A path deeper than this is not a work directory anyone uses; the walk
    // stays bounded whatever the file system does.
    for (unsigned level = 1; level <= 4096; ++level) {
        UniqueFd parent(retry_eintr([&] { return openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
        if (!parent.valid()) return std::nullopt;
        struct stat up;
        if (fstat(parent.get(), &up) != 0) return std::nullopt;
        if (up.st_dev == here.st_dev && up.st_ino == here.st_ino) return std::nullopt;  // the root
        if (!lets_pass(parent.get(), up, uid, gid)) return describe_closed(parent.get(), up, dir, level);
        current = std::move(parent);
        here = up;
    }
    return std::nullopt;
}

std::string unreachable_work_dir_message(const std::string& dir, std::uint32_t uid, const std::string& closed) {
    return "the run's own user id " + std::to_string(uid) + " (--contain) cannot reach the work directory " +
           display_path(dir) + ": " + closed +
           " does not let that id pass; use a work directory (TMPDIR or --workdir) below directories that others "
           "can enter, such as /tmp";
}

}  // namespace tessimar
