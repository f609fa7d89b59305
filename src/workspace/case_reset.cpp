#include "workspace/case_reset.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/scratch_dir.hpp"
#include "workspace/tree.hpp"
#include "workspace/dir_walk.hpp"

namespace tessimar {
namespace {

constexpr std::size_t kBatch = 256;      // names held at once while emptying
constexpr int kMaxPasses = 1 << 14;      // a bound against a directory that keeps refilling

// The directory at `path`, only when it is still the one recorded.
int open_checked(const std::string& path, const DirIdentity& id, UniqueFd& out) {
    out.reset(retry_eintr(
        [&] { return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    if (!out.valid()) return errno;
    struct stat st;
    if (fstat(out.get(), &st) != 0) return errno;
    const DirIdentity now{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
    return now == id ? 0 : ESTALE;
}

int remove_entry(int dir_fd, const std::string& name) {
    if (unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
    if (errno != EISDIR && errno != EPERM) return errno;
    RemoveOptions options;
    options.repair_owner_permissions = true;
    const int err = remove_tree_at(dir_fd, name, options);
    return err == ENOENT ? 0 : err;
}

// Up to kBatch names of the directory other than "." and "..", and `keep`.
int list_batch(int dir_fd, const char* keep, std::vector<std::string>& names) {
    names.clear();
    return list_names_at(dir_fd, kBatch, [keep](const char* name) { return std::strcmp(name, keep) != 0; }, names);
}

Error failure(const char* what, const std::string& path, int err) {
    return Error{std::string(what) + " " + display_path(path) + ": " + os_error_text(err)};
}

}  // namespace

Status remove_phase_files(const std::string& scratch_dir, const DirIdentity& scratch_id,
                          const std::string& phase) {
    UniqueFd dir;
    if (const int err = open_checked(scratch_dir, scratch_id, dir))
        return failure("cannot replace the phase files in", scratch_dir, err);
    for (const char* suffix : {".in", ".out", ".err"})
        if (const int err = remove_entry(dir.get(), phase + suffix))
            return failure("cannot replace the phase files in", scratch_dir, err);
    return Status::success();
}

Status empty_work_dir(const std::string& work_dir, const DirIdentity& work_id) {
    UniqueFd dir;
    if (const int err = open_checked(work_dir, work_id, dir))
        return failure("cannot empty the work directory", work_dir, err);
    std::vector<std::string> names;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        if (const int err = list_batch(dir.get(), kScratchDirName, names))
            return failure("cannot empty the work directory", work_dir, err);
        if (names.empty()) return Status::success();
        for (const std::string& name : names)
            if (const int err = remove_entry(dir.get(), name))
                return failure("cannot empty the work directory", work_dir, err);
    }
    return failure("cannot empty the work directory", work_dir, ENOTEMPTY);
}

}  // namespace tessimar
