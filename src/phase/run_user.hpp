// A user id of its own for every contained run of a root runner: taken from
// the range in TESSIMAR_CONTAIN_UIDS, held with a lock for the whole run,
// cleared of whatever an earlier run left running under it, and switched to
// by each child before it restricts itself. A run that ends with nothing of
// the id left running marks the id's lock file so; the next holder then has
// nothing to clear.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "common/child_user.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"
#include "common/run_limits.hpp"

namespace tessimar {

struct IdRange {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// Debian's policy keeps 60000-64999 for ids the project allocates centrally
// and creates only on demand (none of 60578-61183 is allocated); within it
// systemd hands out 60001-60513 to homed users, maps host users into
// nspawn containers at 60514-60577 and takes its dynamic service users
// from 61184-65519. What lies between is used by neither, and stays below
// 65,536 so that a container with a mapped range of that size has it too.
inline constexpr IdRange kDefaultIdRange{60578, 61183};
inline constexpr const char* kIdRangeVariable = "TESSIMAR_CONTAIN_UIDS";

// "FIRST-LAST", two decimal ids with 0 < FIRST <= LAST < 4294967295.
Result<IdRange> parse_id_range(std::string_view text);

// Where the locks of the ids live: a directory that only the runner's
// effective user may change. The first of `candidates` whose parent lets it
// be created (or that exists) is used; one that exists but is a link, not
// the runner's, or writable by others is an error.
Result<UniqueFd> open_lock_dir(const char* const* candidates);

// The id a run holds. Without --contain, or for a runner that is not root,
// it holds nothing and the children stay what the runner is.
class RunUser {
public:
    RunUser() = default;
    RunUser(RunUser&&) = default;
    RunUser& operator=(RunUser&&) = default;
    // Marks the id as left clean, unless a note is pending. Every phase
    // kills what it leaves of the id before it returns, so a run that
    // gets here left nothing; a runner that is killed never gets here.
    ~RunUser();

    // Takes the first free id of the range that the runner can switch to.
    // Unless the id's last holder marked it clean and no process of it is
    // listed, whatever runs under it is killed first. An error is the setup
    // error message of the run.
    static Result<RunUser> claim(const RunLimits& limits);

    const ChildUser& child() const { return user_; }

    // Kills every process running under the held id (nothing without one).
    void kill_leftovers() const;

    // What the id's lock file held when the id was claimed: the note an
    // earlier run left there and did not clear (see `note`).
    const std::string& left_note() const { return left_note_; }

    // Replaces what the id's lock file holds (empty: clears it).
    void note(const std::string& text) const;

private:
    ChildUser user_;
    UniqueFd lock_;  // released by the kernel when the runner goes, however it goes
    std::string left_note_;
    mutable bool note_pending_ = false;
};

// The extended attribute an id's lock file carries while nothing of the id
// runs: set by a holder that ended so, taken off by the next one. Kept in
// the inode, it costs no data block, whose freeing a file system mounted
// with discard would wait for on every run. Where the file system keeps no
// such attribute, every holder clears the id.
inline constexpr const char* kIdLeftCleanAttr = "user.tessimar.left_clean";

// Kills every process of `uid`/`gid` from a short-lived helper that takes
// the id (take_run_user). Returns 0 or the errno of the failed switch.
int kill_processes_of(std::uint32_t uid, std::uint32_t gid);

// Child side, async-signal-safe: supplementary groups cleared, then the
// gid, then the uid. Returns 0 or the errno of the failed step.
int become_run_user(std::uint32_t uid, std::uint32_t gid);

// Async-signal-safe: become_run_user, then every other process of the id is
// killed. Returns 0 or the errno of the failed step.
int take_run_user(std::uint32_t uid, std::uint32_t gid);

// Runner side, before a phase: hands what the descriptors name (the
// phase's files, the child's private directory; O_PATH ones too) over to the
// run's id. Negative descriptors are skipped. Returns 0 or an errno.
int hand_over(const ChildUser& user, const int* fds, std::size_t fd_count);

}  // namespace tessimar
