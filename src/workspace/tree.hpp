// Scanning and removing directory trees without following links.
#pragma once

#include <optional>
#include <string>

#include "common/dir_identity.hpp"

namespace tessimar {

// The identity of `path` when lstat shows a directory; none for links and
// every other kind, and when lstat fails.
std::optional<DirIdentity> dir_identity(const std::string& path);

struct ScanResult {
    int error = 0;                  // errno of an I/O failure, 0 otherwise
    std::optional<std::string> found;  // full path of the first non-plain entry
};

// Depth-first search below `dir` for anything that is neither a regular file
// nor a directory, each directory's entries in listing order.
ScanResult find_non_plain_entry(const std::string& dir);

struct RemoveOptions {
    // The directory removed must still have this identity when opened.
    std::optional<DirIdentity> expected;
    // Give owned directories the owner bits needed to empty them.
    bool repair_owner_permissions = false;
};

// Removes `path` and everything below it. A link (or any non-directory) at
// `path` is removed itself. Stays on the device of `path`. Returns 0 or the
// errno of the first failure; what was removed before it stays removed.
int remove_tree(const std::string& path, const RemoveOptions& options);

// The same for the entry `name` of the directory open at `parent_fd`.
int remove_tree_at(int parent_fd, const std::string& name, const RemoveOptions& options);

}  // namespace tessimar
