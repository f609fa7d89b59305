#include "workspace/dir_walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

namespace tessimar {

int list_names_at(int dir_fd, std::size_t limit, const std::function<bool(const char*)>& want,
                  std::vector<std::string>& names) {
    const int fd = retry_eintr([&] { return openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd < 0) return errno;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        const int err = errno;
        close(fd);
        return err;
    }
    int err = 0;
    try {
        while (names.size() < limit) {
            errno = 0;
            const dirent* d = readdir(dir);
            if (d == nullptr) {
                err = errno;
                break;
            }
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            if (want(d->d_name)) names.emplace_back(d->d_name);
        }
    } catch (const std::bad_alloc&) {
        err = ENOMEM;
    }
    closedir(dir);
    return err;
}
namespace {

constexpr std::size_t kWindow = 128;  // most descriptors held at once
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct LinuxDirent64 {
    ino64_t d_ino;
    off64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

unsigned char type_from_mode(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG: return DT_REG;
        case S_IFDIR: return DT_DIR;
        case S_IFLNK: return DT_LNK;
        case S_IFCHR: return DT_CHR;
        case S_IFBLK: return DT_BLK;
        case S_IFIFO: return DT_FIFO;
        case S_IFSOCK: return DT_SOCK;
        default: return DT_UNKNOWN;
    }
}

// Gives an owned directory u+rwx through an O_PATH handle, so that a
// directory swapped for a link in between is never changed.
bool repair_permissions(int parent_fd, const std::string& name) {
    UniqueFd path_fd(openat(parent_fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!path_fd.valid()) return false;
    struct stat st;
    if (fstat(path_fd.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    char proc_path[64];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", path_fd.get());
    return chmod(proc_path, (st.st_mode & 07777) | S_IRWXU) == 0;
}

}  // namespace

bool DirWalk::close_shallowest(std::size_t keep) {
    // Level 0 stays open: every reopening starts from it.
    for (std::size_t i = 1; i < levels_.size(); ++i) {
        if (i == keep || !levels_[i].fd.valid()) continue;
        levels_[i].fd.reset();
        --open_count_;
        return true;
    }
    return false;
}

void DirWalk::trim_window() {
    while (open_count_ > kWindow && close_shallowest(levels_.size() - 1)) {
    }
}

int DirWalk::open_dir_at(int parent_fd, const std::string& name, UniqueFd& out, std::size_t keep) {
    bool repaired = false;
    while (true) {
        const int fd = retry_eintr([&] { return openat(parent_fd, name.c_str(), kDirFlags); });
        if (fd >= 0) {
            out.reset(fd);
            break;
        }
        const int err = errno;
        if ((err == EMFILE || err == ENFILE) && close_shallowest(keep)) continue;
        if (err == EACCES && options_.repair_owner_permissions && !repaired &&
            repair_permissions(parent_fd, name)) {
            repaired = true;
            continue;
        }
        return err;
    }
    if (options_.repair_owner_permissions) {
        struct stat st;
        if (fstat(out.get(), &st) == 0 && st.st_uid == geteuid() &&
            (st.st_mode & S_IRWXU) != S_IRWXU)
            (void)fchmod(out.get(), (st.st_mode & 07777) | S_IRWXU);
    }
    return 0;
}

int DirWalk::list(Level& level) {
    level.entries.clear();
    level.next = 0;
    try {
        alignas(LinuxDirent64) char buf[32768];
        while (true) {
            const long n = syscall(SYS_getdents64, level.fd.get(), buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            if (n == 0) break;
            for (long off = 0; off < n;) {
                const auto* d = reinterpret_cast<const LinuxDirent64*>(buf + off);
                off += d->d_reclen;
                if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
                    continue;
                DirEntry entry{d->d_name, d->d_type};
                if (entry.type == DT_UNKNOWN) {
                    struct stat st;
                    if (fstatat(level.fd.get(), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                        // Vanished since the listing: nothing left to judge.
                        if (errno == ENOENT) continue;
                        return errno;
                    }
                    entry.type = type_from_mode(st.st_mode);
                }
                level.entries.push_back(std::move(entry));
            }
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

int DirWalk::open_root(int parent_fd, const std::string& name, const DirIdentity* expected) {
    levels_.clear();
    open_count_ = 0;
    Level level;
    level.name = name;
    if (const int err = open_dir_at(parent_fd, name, level.fd, 0)) return err;
    struct stat st;
    if (fstat(level.fd.get(), &st) != 0) return errno;
    level.id = DirIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (expected != nullptr && !(level.id == *expected)) return ESTALE;
    if (const int err = list(level)) return err;
    levels_.push_back(std::move(level));
    open_count_ = 1;
    return 0;
}

int DirWalk::push(const std::string& name) {
    const int parent = top_fd();
    if (parent < 0) return -parent;
    Level level;
    level.name = name;
    if (const int err = open_dir_at(parent, name, level.fd, levels_.size() - 1)) return err;
    struct stat st;
    if (fstat(level.fd.get(), &st) != 0) return errno;
    level.id = DirIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    if (const int err = list(level)) return err;
    try {
        levels_.push_back(std::move(level));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    ++open_count_;
    trim_window();
    return 0;
}

void DirWalk::pop() {
    if (levels_.back().fd.valid()) --open_count_;
    levels_.pop_back();
}

const DirEntry* DirWalk::next_entry() {
    Level& level = levels_.back();
    if (level.next >= level.entries.size()) return nullptr;
    return &level.entries[level.next++];
}

int DirWalk::ensure_open(std::size_t index) {
    if (levels_[index].fd.valid()) return 0;
    std::size_t start = index;
    while (!levels_[start].fd.valid()) --start;  // level 0 is always open
    for (std::size_t k = start + 1; k <= index; ++k) {
        Level& level = levels_[k];
        if (level.fd.valid()) continue;
        UniqueFd fd;
        if (const int err = open_dir_at(levels_[k - 1].fd.get(), level.name, fd, k - 1)) return err;
        struct stat st;
        if (fstat(fd.get(), &st) != 0) return errno;
        const DirIdentity now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
        if (!(now == level.id)) return ESTALE;  // swapped since it was first opened
        level.fd = std::move(fd);
        ++open_count_;
    }
    return 0;
}

int DirWalk::top_fd() {
    if (const int err = ensure_open(levels_.size() - 1)) return -err;
    return levels_.back().fd.get();
}

}  // namespace tessimar
