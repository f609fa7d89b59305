// The build cache: a directory of what successful compiles left behind,
// one entry per build key, shared by runner processes without locks.
//
//   DIR/<key>/manifest   the key and every stored item with its SHA-256
//   DIR/<key>/used       the entry's size in bytes; its modification time
//                        is the last use, renewed on every hit
//   DIR/<key>/tree/...   the stored files, mode 0600 or 0700
//   DIR/tmp.*            an entry being written or removed
//
// An entry is written under a temporary name and renamed into place, so a
// reader sees a whole entry or none; it is trusted only as far as its
// files match its manifest. Nothing here follows a symbolic link or
// recurses, and every failure is a value: the caller compiles instead.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/child_user.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

inline constexpr std::uint64_t kDefaultBuildCacheMb = 1024;

enum class CacheLookup {
    Hit,       // restored in full, every file matching the manifest
    Miss,      // no entry (or it vanished while being read)
    Rejected,  // an entry that did not match its manifest: removed
};

class BuildCache {
public:
    // The directory `path`, created with mode 0700 when it is missing. An
    // error, naming the directory, when it cannot be created or opened, is
    // a symbolic link or not a directory, is not owned by the runner's
    // effective uid, or is writable by its group or by others. `bound_mb`
    // 0 stands for kDefaultBuildCacheMb.
    static Result<BuildCache> open(const std::string& path, std::uint64_t bound_mb);

    const std::string& path() const { return path_; }

    // Copies the entry of `key` into the directory `dest_fd` (none of whose
    // names it may clash with), everything owned by `owner` when that is
    // active. On a hit the entry's last use is renewed; otherwise nothing
    // of it is left in `dest_fd`, and for a rejected entry `why` says what
    // did not match.
    CacheLookup restore(const std::string& key, int dest_fd, const ChildUser& owner, std::string& why);

    // Stores what a successful compile left in the directory `src_fd`,
    // except the top-level names in `skip`, as the entry of `key`, then
    // evicts. An entry of that key already in place (another runner's)
    // counts as stored. An error says why nothing was stored.
    Status store(const std::string& key, int src_fd, const std::vector<std::string>& skip);

    // Removes the least recently used entries until the entries' total is
    // at most the bound, `keep` last of all; and what interrupted stores
    // left behind, once it is an hour old. Entries that vanish meanwhile
    // (another runner's eviction) are passed over.
    void evict(const std::string& keep);

private:
    BuildCache(std::string path, UniqueFd fd, std::uint64_t bound_bytes)
        : path_(std::move(path)), fd_(std::move(fd)), bound_bytes_(bound_bytes) {}

    void discard(const std::string& name);

    std::string path_;
    UniqueFd fd_;
    std::uint64_t bound_bytes_;
};

}  // namespace tessimar
