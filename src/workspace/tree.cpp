#include "workspace/tree.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/dir_walk.hpp"

namespace tessimar {

std::optional<DirIdentity> dir_identity(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return DirIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

ScanResult find_non_plain_entry(const std::string& dir) {
    ScanResult result;
    DirWalk walk(DirWalk::Options{});
    // The root is opened as a whole path: it is the caller's own directory.
    if (const int err = walk.open_root(AT_FDCWD, dir, nullptr)) {
        result.error = err;
        return result;
    }
    std::string path = dir;
    std::vector<std::size_t> lengths;
    while (walk.depth() > 0) {
        const DirEntry* entry = walk.next_entry();
        if (entry == nullptr) {
            walk.pop();
            if (!lengths.empty()) {
                path.resize(lengths.back());
                lengths.pop_back();
            }
            continue;
        }
        if (entry->type == DT_REG) continue;
        if (entry->type == DT_DIR) {
            const std::string name = entry->name;
            if (const int err = walk.push(name)) {
                result.error = err;
                return result;
            }
            lengths.push_back(path.size());
            path += '/';
            path += name;
            continue;
        }
        result.found = path + "/" + entry->name;
        return result;
    }
    return result;
}

int remove_tree(const std::string& path, const RemoveOptions& options) {
    std::string parent_path, name;
    split_parent(path, parent_path, name);
    UniqueFd parent(retry_eintr(
        [&] { return open(parent_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!parent.valid()) return errno;
    return remove_tree_at(parent.get(), name, options);
}

int remove_tree_at(int parent_fd, const std::string& name, const RemoveOptions& options) {
    struct stat st;
    if (fstatat(parent_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) {
        if (options.expected) return ESTALE;
        return unlinkat(parent_fd, name.c_str(), 0) == 0 ? 0 : errno;
    }

    DirWalk walk(DirWalk::Options{options.repair_owner_permissions});
    const DirIdentity* expected = options.expected ? &*options.expected : nullptr;
    if (const int err = walk.open_root(parent_fd, name, expected)) return err;
    const std::uint64_t device = walk.top_identity().device;

    while (true) {
        const DirEntry* entry = walk.next_entry();
        if (entry == nullptr) {
            if (walk.depth() == 1) break;
            const std::string done = walk.top_name();
            walk.pop();
            const int fd = walk.top_fd();
            if (fd < 0) return -fd;
            if (unlinkat(fd, done.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) return errno;
            continue;
        }
        const std::string entry_name = entry->name;
        if (entry->type == DT_DIR) {
            const int err = walk.push(entry_name);
            if (err == 0) {
                if (walk.top_identity().device != device) return EXDEV;  // never cross a mount
                continue;
            }
            if (err != ELOOP && err != ENOTDIR) return err;
            // Replaced by a link or a file since the listing: remove that instead.
        }
        const int fd = walk.top_fd();
        if (fd < 0) return -fd;
        if (unlinkat(fd, entry_name.c_str(), 0) != 0 && errno != ENOENT) return errno;
    }
    walk.pop();
    if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) != 0) return errno;
    return 0;
}

}  // namespace tessimar
