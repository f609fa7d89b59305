// The files of a problem package, reached from a descriptor of its root
// directory. A path is resolved beneath that root by the kernel: a symbolic
// link that stays inside the package is followed, one that leaves it (or an
// absolute one, or "..") is refused, so a package cannot make the judge read
// anything of the host. Without the kernel's support no link is followed.
// Nothing here writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

struct PackageRoot {
    std::string path;      // as the caller gave it
    std::string absolute;  // the directory's absolute path, for programs built from it
    UniqueFd fd;
};

enum class EntryKind { Missing, File, Directory, Other };

struct EntryInfo {
    EntryKind kind = EntryKind::Missing;
    std::uint64_t size = 0;
};

Result<PackageRoot> open_package_root(const std::string& path);

// The path shown in messages: the package path joined with `rel`.
std::string package_path(const PackageRoot& root, const std::string& rel);

// What `rel` (a relative path, components joined by "/") names, links inside
// the package followed. A link leaving the package is an error naming it.
Result<EntryInfo> inspect_entry(const PackageRoot& root, const std::string& rel);

// The names in the directory `rel` other than "." and "..", unsorted; more
// than `limit` is an error naming the directory.
Result<std::vector<std::string>> list_package_dir(const PackageRoot& root, const std::string& rel,
                                                  std::size_t limit);

// A regular file, open for reading; `what` names it in messages ("answer").
Result<UniqueFd> open_package_file(const PackageRoot& root, const std::string& rel, const char* what);

// A regular file's bytes, at most `limit` of them (more is an error naming it).
Result<std::string> read_package_file(const PackageRoot& root, const std::string& rel, std::uint64_t limit,
                                      const char* what);

}  // namespace tessimar
