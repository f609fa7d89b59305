// The (device, inode) pair of a directory, compared before every guarded removal.
#pragma once

#include <cstdint>

namespace tessimar {

struct DirIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    friend bool operator==(const DirIdentity&, const DirIdentity&) = default;
};

}  // namespace tessimar
