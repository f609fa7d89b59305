// Whether a run's own user id can get to its work directory at all: under
// --contain a root runner's children run as an id that owns nothing, so
// every directory above the work directory must let others pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessimar {

// The directory above `dir` (itself not counted: the run is lent its work
// directory; counted with `including_dir`, for the directory a work
// directory is made in) that `uid`/`gid`, with no supplementary groups, cannot pass by
// its mode, described as "PATH (mode 0700, owner uid 0)". Nullopt when every
// one lets it pass, when one carries an access control list (it may), or
// when the way cannot be looked at (the run then reports what it meets).
// The way is walked upwards through "..", so links and mounts count as the
// kernel resolves them.
std::optional<std::string> closed_on_the_way(const std::string& dir, std::uint32_t uid, std::uint32_t gid,
                                             bool including_dir = false);

// The setup error message of a run whose work directory `dir` its id cannot
// reach, `closed` naming the directory in the way.
std::string unreachable_work_dir_message(const std::string& dir, std::uint32_t uid, const std::string& closed);

}  // namespace tessimar
