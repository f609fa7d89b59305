// A work directory lent to a run's own user id for the run, and given back
// afterwards: the scratch directory, the run's files and the work directory
// itself belong to that id while the children run, and everything the id
// owns in the tree belongs to the directory's owner again once the run is
// over, with nothing left writable to a later run's id.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/dir_identity.hpp"
#include "common/fd.hpp"
#include "common/result.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {

struct WorkDirLoan {
    bool active = false;
    std::uint32_t to_uid = 0, to_gid = 0;        // the run's id
    std::uint32_t owner_uid = 0, owner_gid = 0;  // the directory's own owner
    mode_t mode = 0;                             // its permission bits before
    DirIdentity id;
    // Its access control lists before (absent: none), which the id could
    // change as the directory's owner.
    std::optional<std::string> acl_access, acl_default;
    // The directory itself, held from the loan to its return: the id may
    // rename it, and its path may then name another.
    std::shared_ptr<UniqueFd> dir;
};

// Hands the work directory, the scratch directory in it and the run files
// over to `uid`/`gid`. On failure nothing of the work directory is changed.
Result<WorkDirLoan> lend_work_dir(const std::string& work_dir, const std::string& scratch_dir,
                                  const RunFiles& files, std::uint32_t uid, std::uint32_t gid);

// Gives the work directory its owner, mode and access control lists back,
// and every entry below it that the run's uid or gid owns to the
// directory's owner, without the write bit for others and without access
// control lists. Nothing of the run's id may be running. Stays on the
// directory's device; no link is followed. The directory is the one held
// since the loan, or, for a loan read back from its note, `work_dir` when
// it still has the loan's identity. Returns 0 or an errno.
int return_work_dir(const std::string& work_dir, const WorkDirLoan& loan);

// A loan as text, kept beside the run's id while the loan lasts, so that a
// runner killed by a signal before it gave the directory back leaves what
// the next holder of the id needs to give it back. `work_dir` is absolute.
std::string describe_loan(const std::string& work_dir, const WorkDirLoan& loan);

struct DescribedLoan {
    std::string work_dir;
    WorkDirLoan loan;
};
std::optional<DescribedLoan> parse_loan(const std::string& text);

}  // namespace tessimar
