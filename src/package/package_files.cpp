#include "package/package_files.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "common/text.hpp"
#include "workspace/dir_walk.hpp"

#ifndef SYS_openat2
#define SYS_openat2 437
#endif

namespace tessimar {
namespace {

// Opens `rel` beneath the root, one component at a time and no link
// followed: the way without openat2.
int open_no_links(int root_fd, const std::string& rel, int flags) {
    UniqueFd dir;
    int at = root_fd;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = rel.find('/', start);
        const std::string part = rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (slash == std::string::npos)
            return static_cast<int>(retry_eintr([&] { return openat(at, part.c_str(), flags | O_NOFOLLOW); }));
        const int next = static_cast<int>(retry_eintr([&] {
            return openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }));
        if (next < 0) return -1;
        dir.reset(next);
        at = next;
        start = slash + 1;
    }
}

// A descriptor of `rel` beneath the root, or -1 with errno (EXDEV: the way
// leaves the package).
int open_beneath(int root_fd, const std::string& rel, int flags) {
    static std::atomic<bool> no_openat2{false};
    if (rel.empty() || rel.front() == '/' || rel.find('\0') != std::string::npos) {
        errno = EXDEV;
        return -1;
    }
    if (!no_openat2) {
        struct open_how how{};
        how.flags = static_cast<std::uint64_t>(flags) | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const long fd = retry_eintr([&] { return syscall(SYS_openat2, root_fd, rel.c_str(), &how, sizeof how); });
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
        no_openat2 = true;  // not offered (or filtered out): follow no link at all
    }
    return open_no_links(root_fd, rel, flags | O_CLOEXEC);
}

Error failure(const PackageRoot& root, const std::string& rel, const std::string& what, int err) {
    if (err == EXDEV)
        return Error{what + " " + package_path(root, rel) + " is reached through a link that leaves the package"};
    if (err == ELOOP) return Error{what + " " + package_path(root, rel) + " is reached through a link loop or a link"};
    return Error{"cannot read " + what + " " + package_path(root, rel) + ": " + os_error_text(err)};
}

}  // namespace

std::string package_path(const PackageRoot& root, const std::string& rel) {
    return display_path(join_path(root.path, rel));
}

Result<PackageRoot> open_package_root(const std::string& path) {
    PackageRoot root;
    root.path = path;
    const auto failed = [&](int err) {
        return Error{"cannot open problem package " + display_path(path) + ": " + os_error_text(err)};
    };
    if (path.empty() || path.find('\0') != std::string::npos) return failed(EINVAL);
    root.fd.reset(retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!root.fd.valid()) return failed(errno);
    // Its absolute path, as the kernel names the open directory.
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(root.fd.get());
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || buf[0] != '/') {
        if (path.front() == '/') root.absolute = path;
        else if (const std::string cwd = current_dir(); !cwd.empty()) root.absolute = join_path(cwd, path);
        else return failed(n < 0 ? errno : ENAMETOOLONG);
    } else {
        root.absolute.assign(buf, static_cast<std::size_t>(n));
    }
    return root;
}

Result<EntryInfo> inspect_entry(const PackageRoot& root, const std::string& rel) {
    UniqueFd fd(open_beneath(root.fd.get(), rel, O_PATH));
    EntryInfo info;
    if (!fd.valid()) {
        if (errno == ENOENT) return info;
        return failure(root, rel, "package file", errno);
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return failure(root, rel, "package file", errno);
    info.kind = S_ISREG(st.st_mode) ? EntryKind::File : S_ISDIR(st.st_mode) ? EntryKind::Directory : EntryKind::Other;
    info.size = static_cast<std::uint64_t>(st.st_size);
    return info;
}

Result<std::vector<std::string>> list_package_dir(const PackageRoot& root, const std::string& rel,
                                                  std::size_t limit) {
    UniqueFd fd(open_beneath(root.fd.get(), rel, O_RDONLY | O_DIRECTORY));
    if (!fd.valid()) return failure(root, rel, "directory", errno);
    std::vector<std::string> names;
    if (const int err = list_names_at(fd.get(), limit + 1, [](const char*) { return true; }, names))
        return failure(root, rel, "directory", err);
    if (names.size() > limit)
        return Error{"directory " + package_path(root, rel) + " holds more than " + std::to_string(limit) +
                     " entries"};
    return names;
}

Result<UniqueFd> open_package_file(const PackageRoot& root, const std::string& rel, const char* what) {
    // Non-blocking: a FIFO is refused below instead of waited on.
    UniqueFd fd(open_beneath(root.fd.get(), rel, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return failure(root, rel, what, errno);
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return failure(root, rel, what, errno);
    if (!S_ISREG(st.st_mode))
        return Error{std::string(what) + " " + package_path(root, rel) + " is not a regular file"};
    return fd;
}

Result<std::string> read_package_file(const PackageRoot& root, const std::string& rel, std::uint64_t limit,
                                      const char* what) {
    Result<UniqueFd> fd = open_package_file(root, rel, what);
    if (!fd) return Error{fd.error()};
    std::string data;
    if (const int err = append_to_end(fd.value().get(), data, static_cast<std::size_t>(limit))) {
        if (err == EFBIG)
            return Error{std::string(what) + " " + package_path(root, rel) + " is larger than " +
                         std::to_string(limit) + " bytes"};
        return failure(root, rel, what, err);
    }
    return data;
}

}  // namespace tessimar
