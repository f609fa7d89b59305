#include "workspace/file_fetch.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "common/fd.hpp"
#include "common/relative_path.hpp"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

namespace tessimar {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Cleared once the kernel (or a container's filter) turns openat2 down.
std::atomic<bool> g_openat2_usable{true};

// The directory `parts` names below `root`, or -1: with openat2, which
// refuses every link and any step out of `root` in one call, else one
// component at a time, each opened without following a link.
int open_dir_beneath(int root, const std::vector<std::string>& parts, std::size_t count) {
    if (count == 0) return fcntl(root, F_DUPFD_CLOEXEC, 3);
    if (g_openat2_usable.load()) {
        std::string path;
        for (std::size_t i = 0; i < count; ++i) path += (i ? "/" : "") + parts[i];
        struct open_how how{};
        how.flags = static_cast<std::uint64_t>(kDirFlags);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        const int fd = static_cast<int>(
            retry_eintr([&] { return syscall(SYS_openat2, root, path.c_str(), &how, sizeof how); }));
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) return fd;
        g_openat2_usable.store(false);
    }
    UniqueFd dir(fcntl(root, F_DUPFD_CLOEXEC, 3));
    for (std::size_t i = 0; i < count && dir.valid(); ++i)
        dir.reset(retry_eintr([&] { return openat(dir.get(), parts[i].c_str(), kDirFlags); }));
    return dir.release();
}

enum class Found { Nothing, File, TooLarge };

// The regular file `name` of `dir`, read whole when it holds at most
// `limit` bytes. Only a regular file is ever opened (a device or a FIFO is
// not), and its identity must be the one looked at.
Found read_regular(int dir, const std::string& name, std::uint64_t limit, std::string& content) {
    limit = std::min<std::uint64_t>(limit, std::uint64_t{1} << 40);  // far beyond any output cap in use
    struct stat seen;
    if (fstatat(dir, name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode)) return Found::Nothing;
    if (static_cast<std::uint64_t>(seen.st_size) > limit) return Found::TooLarge;
    UniqueFd fd(retry_eintr([&] { return openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (!fd.valid()) return Found::Nothing;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != seen.st_ino || st.st_dev != seen.st_dev)
        return Found::Nothing;
    // The size seen bounds the buffer; a file that grew since is seen by
    // the one byte read past the limit.
    content.resize(static_cast<std::size_t>(seen.st_size) + 1);
    std::size_t have = 0;
    while (true) {
        const std::size_t want = content.size() - have;
        const ssize_t n = retry_eintr([&] { return read(fd.get(), content.data() + have, want); });
        if (n < 0) return Found::Nothing;
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
        if (have == content.size()) {
            if (have > limit) return Found::TooLarge;
            content.resize(std::min<std::uint64_t>(limit + 1, content.size() * 2));
        }
    }
    content.resize(have);
    return Found::File;
}

}  // namespace

FetchedFiles fetch_files(const std::string& work_dir, const std::optional<DirIdentity>& expected,
                         const std::vector<std::string>& paths, std::uint64_t limit_bytes) {
    FetchedFiles out;
    if (paths.empty() || work_dir.find('\0') != std::string::npos) return out;
    UniqueFd root(retry_eintr([&] { return open(work_dir.c_str(), kDirFlags); }));
    if (!root.valid()) return out;
    if (expected) {
        struct stat st;
        if (fstat(root.get(), &st) != 0 || DirIdentity{st.st_dev, st.st_ino} != *expected) return out;
    }
    for (const std::string& path : paths) {
        Result<std::vector<std::string>> parts = split_relative_path(path, false);
        if (!parts) continue;
        const std::vector<std::string>& p = parts.value();
        UniqueFd dir(open_dir_beneath(root.get(), p, p.size() - 1));
        if (!dir.valid()) continue;
        std::string content;
        switch (read_regular(dir.get(), p.back(), limit_bytes, content)) {
            case Found::File: out.files.emplace_back(path, std::move(content)); break;
            case Found::TooLarge: out.too_large.push_back(path); break;
            case Found::Nothing: break;
        }
    }
    return out;
}

}  // namespace tessimar
