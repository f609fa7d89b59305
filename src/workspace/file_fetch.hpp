// Files read back out of a run's work directory once nothing of the run is
// left running. The program shaped that directory as it liked: every
// component is opened relative to the directory's descriptor, and no link
// is followed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/dir_identity.hpp"

namespace tessimar {

struct FetchedFiles {
    std::vector<std::pair<std::string, std::string>> files;  // path as asked, content
    std::vector<std::string> too_large;                      // paths as asked
};

// Reads each of `paths` (relative to `work_dir`) that is a regular file of
// at most `limit_bytes` bytes. A path that is missing, names anything but a
// regular file, or leads through a link or out of the directory is left out;
// a larger file is listed in `too_large` instead, and never more than
// `limit_bytes` + 1 bytes of it are read. With `expected`, a work directory
// that is no longer that directory gives nothing at all.
FetchedFiles fetch_files(const std::string& work_dir, const std::optional<DirIdentity>& expected,
                         const std::vector<std::string>& paths, std::uint64_t limit_bytes);

}  // namespace tessimar
