// A caller's directory of files copied into a run's work directory before
// the first phase, so that the program finds them at the same relative
// paths.
#pragma once

#include <cstddef>
#include <string>

#include "common/child_user.hpp"
#include "common/result.hpp"

namespace tessimar {

inline constexpr std::size_t kMaxImportEntries = 10000;
inline constexpr std::size_t kMaxImportDepth = 64;

// Copies the regular files and directories below `source_dir` into
// `dest_dir`. Nothing is followed: a symbolic link or any other kind of
// entry in the source is an error naming it, and so is an entry named like
// the runner's own scratch directory at the top, an entry that already
// exists in `dest_dir` as a file, more than kMaxImportEntries entries or a
// tree deeper than kMaxImportDepth. Files get mode 0644 (0755 when the
// source's owner may execute it), directories 0755; with an active `owner`
// both belong to the run's id. What was copied before an error stays (the
// work directory's own removal takes it).
Status import_files(const std::string& source_dir, const std::string& dest_dir, const ChildUser& owner);

}  // namespace tessimar
