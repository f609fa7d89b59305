#include "workspace/scratch_dir.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "common/fd.hpp"
#include "common/text.hpp"
#include "workspace/tree.hpp"

namespace tessimar {
namespace {

Error inspect_error(const std::string& s, int err) {
    return Error{"cannot inspect runner scratch directory " + display_path(s) + ": " + os_error_text(err)};
}

Error reset_error(const std::string& s) {
    return Error{"refusing to reset runner scratch directory " + display_path(s) +
                 ": its identity changed between being scanned and being removed"};
}

}  // namespace

Result<std::string> prepare_scratch_dir(const std::string& work_dir) {
    const std::string s = join_path(work_dir, kScratchDirName);

    struct stat st;
    if (lstat(s.c_str(), &st) != 0) {
        if (errno != ENOENT) return inspect_error(s, errno);
    } else {
        if (!S_ISDIR(st.st_mode))
            return Error{"refusing to use " + display_path(s) +
                         " as the runner scratch directory: it already exists and is not a plain "
                         "directory"};

        const ScanResult scan = find_non_plain_entry(s);
        if (scan.error != 0) return inspect_error(s, scan.error);
        if (scan.found)
            return Error{"refusing to run: " + display_path(*scan.found) +
                         " inside the runner scratch directory is not a plain file or directory "
                         "(symlink, device, FIFO or socket) \u2014 this session's own workspace may "
                         "have been tampered with between calls"};

        const std::optional<DirIdentity> before = dir_identity(s);
        if (before) {
            const std::optional<DirIdentity> again = dir_identity(s);
            if (!again || !(*again == *before)) {
                const std::string line = "tessimar-exec: refusing to delete " + display_path(s) +
                                         " \u2014 it is not the directory just scanned\n";
                (void)write_all(2, line.data(), line.size());
                return reset_error(s);
            }
        }
        RemoveOptions options;
        options.expected = before;
        if (remove_tree(s, options) != 0) return reset_error(s);
    }

    if (mkdir(s.c_str(), 0777) != 0)
        return Error{"cannot create runner scratch directory " + display_path(s) + ": " +
                     os_error_text(errno)};
    return s;
}

}  // namespace tessimar
