// The user a run's children run as: under --contain a root runner gives each
// run an unprivileged uid and gid of its own, held for the whole run.
#pragma once

#include <cstdint>

namespace tessimar {

struct ChildUser {
    bool active = false;       // the children switch to `uid` and `gid`
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint64_t tasks = 0;   // that id's tasks when the run claimed it
    bool unavailable = false;  // root, but no id could be taken: the children stay uid 0
};

}  // namespace tessimar
