#include "workspace/file_import.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/dir_walk.hpp"
#include "workspace/scratch_dir.hpp"

namespace tessimar {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// One directory being copied: its source and its copy, open, and the names
// of the source's entries.
struct Level {
    UniqueFd src, dst;
    std::string shown;  // the source path, for messages
    std::vector<std::string> names;
    std::size_t next = 0;
};

// The copy's owner and mode, set through its descriptor.
int settle(int fd, mode_t mode, const ChildUser& owner) {
    if (owner.active && fchown(fd, owner.uid, owner.gid) != 0) return errno;
    if (fchmod(fd, mode) != 0) return errno;
    return 0;
}

// Copies the regular file `name` of `src_dir` to a new file of `dst_dir`.
int copy_file(int src_dir, int dst_dir, const std::string& name, const struct stat& seen, const ChildUser& owner) {
    UniqueFd in(retry_eintr([&] { return openat(src_dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); }));
    if (!in.valid()) return errno;
    struct stat st;
    if (fstat(in.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode) || st.st_ino != seen.st_ino || st.st_dev != seen.st_dev) return ESTALE;
    UniqueFd out(retry_eintr([&] {
        return openat(dst_dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }));
    if (!out.valid()) return errno;
    char chunk[65536];
    while (true) {
        const ssize_t n = retry_eintr([&] { return read(in.get(), chunk, sizeof chunk); });
        if (n < 0) return errno;
        if (n == 0) break;
        if (const int err = write_all(out.get(), chunk, static_cast<std::size_t>(n))) return err;
    }
    return settle(out.get(), (st.st_mode & S_IXUSR) ? 0755 : 0644, owner);
}

// Makes (or, when it is there, opens) the directory `name` in `dst_dir`.
int make_dir(int dst_dir, const std::string& name, const ChildUser& owner, UniqueFd& out) {
    const bool made = mkdirat(dst_dir, name.c_str(), 0700) == 0;
    if (!made && errno != EEXIST) return errno;
    out.reset(retry_eintr([&] { return openat(dst_dir, name.c_str(), kDirFlags); }));
    if (!out.valid()) return errno == ELOOP ? EEXIST : errno;
    return made ? settle(out.get(), 0755, owner) : 0;
}

int list(Level& level) {
    return list_names_at(level.src.get(), kMaxImportEntries + 1, [](const char*) { return true; }, level.names);
}

}  // namespace

Status import_files(const std::string& source_dir, const std::string& dest_dir, const ChildUser& owner) {
    const std::string shown_root = display_path(source_dir);
    if (source_dir.find('\0') != std::string::npos || dest_dir.find('\0') != std::string::npos)
        return Error{shown_root + ": nul byte found in provided data"};
    std::vector<Level> levels;
    levels.emplace_back();
    levels.back().shown = shown_root;
    levels.back().src.reset(retry_eintr([&] { return open(source_dir.c_str(), kDirFlags); }));
    if (!levels.back().src.valid()) return Error{"cannot open " + shown_root + ": " + os_error_text(errno)};
    levels.back().dst.reset(retry_eintr([&] { return open(dest_dir.c_str(), kDirFlags); }));
    if (!levels.back().dst.valid())
        return Error{"cannot open the work directory " + display_path(dest_dir) + ": " + os_error_text(errno)};
    if (const int err = list(levels.back())) return Error{"cannot list " + shown_root + ": " + os_error_text(err)};

    std::size_t entries = 0;
    while (!levels.empty()) {
        Level& top = levels.back();
        if (top.next == top.names.size()) {
            levels.pop_back();
            continue;
        }
        const std::string name = top.names[top.next++];
        const std::string shown = top.shown + "/" + display_path(name);
        if (++entries > kMaxImportEntries)
            return Error{shown_root + ": more than " + std::to_string(kMaxImportEntries) + " entries"};
        if (levels.size() == 1 && name == kScratchDirName)
            return Error{shown + ": the name of the runner's own directory in the work directory"};
        struct stat st;
        if (fstatat(top.src.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return Error{"cannot read " + shown + ": " + os_error_text(errno)};
        if (S_ISLNK(st.st_mode)) return Error{shown + " is a symbolic link; links are not copied"};
        if (S_ISREG(st.st_mode)) {
            if (const int err = copy_file(top.src.get(), top.dst.get(), name, st, owner))
                return Error{"cannot copy " + shown + ": " + os_error_text(err)};
            continue;
        }
        if (!S_ISDIR(st.st_mode)) return Error{shown + " is neither a regular file nor a directory"};
        if (levels.size() > kMaxImportDepth)
            return Error{shown + ": deeper than " + std::to_string(kMaxImportDepth) + " levels"};
        Level child;
        child.shown = shown;
        child.src.reset(retry_eintr([&] { return openat(top.src.get(), name.c_str(), kDirFlags); }));
        if (!child.src.valid()) return Error{"cannot open " + shown + ": " + os_error_text(errno)};
        if (const int err = make_dir(top.dst.get(), name, owner, child.dst))
            return Error{"cannot copy " + shown + ": " + os_error_text(err)};
        if (const int err = list(child)) return Error{"cannot list " + shown + ": " + os_error_text(err)};
        levels.push_back(std::move(child));  // `top` is not used past this point
    }
    return Status::success();
}

}  // namespace tessimar
