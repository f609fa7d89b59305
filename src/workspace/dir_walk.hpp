// Descriptor-based walk over a directory tree that a hostile program may have
// shaped: no symbolic link is ever followed, no path longer than one component
// is handed to the kernel, and depth costs heap memory, not stack or
// descriptors (levels beyond the descriptor window are reopened by name and
// checked against the identity they had when first opened).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/dir_identity.hpp"
#include "common/fd.hpp"

namespace tessimar {

// Collects, through a fresh descriptor of the directory `dir_fd` (so that
// `dir_fd` itself is not moved), the names other than "." and ".." that
// `want` accepts, until `limit` are held. Returns 0 or an errno value.
int list_names_at(int dir_fd, std::size_t limit, const std::function<bool(const char*)>& want,
                  std::vector<std::string>& names);

struct DirEntry {
    std::string name;
    unsigned char type;  // DT_* value; never DT_UNKNOWN after listing
};

class DirWalk {
public:
    struct Options {
        // Give directories owned by the effective user the owner bits needed to
        // list and empty them (used by the end-of-run removal only).
        bool repair_owner_permissions = false;
    };

    explicit DirWalk(Options options) : options_(options) {}

    // Opens `name` inside the directory `parent_fd` as the root level. When
    // `expected` is given the opened directory must have that identity.
    // Returns 0 or an errno value.
    int open_root(int parent_fd, const std::string& name, const DirIdentity* expected);

    // Opens the entry `name` of the top level as a new top level.
    int push(const std::string& name);
    void pop();

    std::size_t depth() const { return levels_.size(); }
    const DirIdentity& top_identity() const { return levels_.back().id; }
    const std::string& top_name() const { return levels_.back().name; }

    // The next unvisited entry of the top level, or nullptr when exhausted.
    const DirEntry* next_entry();

    // A descriptor of the top level, reopened if it had been closed; negative
    // errno on failure.
    int top_fd();

private:
    struct Level {
        std::string name;
        DirIdentity id;
        UniqueFd fd;
        std::vector<DirEntry> entries;
        std::size_t next = 0;
    };

    int open_dir_at(int parent_fd, const std::string& name, UniqueFd& out, std::size_t keep);
    int list(Level& level);
    int ensure_open(std::size_t index);
    bool close_shallowest(std::size_t keep);
    void trim_window();

    Options options_;
    std::vector<Level> levels_;
    std::size_t open_count_ = 0;
};

}  // namespace tessimar
