// Putting the workspace back between two runs of one compiled program, so
// that no run sees what an earlier one wrote. Everything here works through
// descriptors of directories whose identity was recorded beforehand, and
// never follows a link a program planted.
#pragma once

#include <string>

#include "common/dir_identity.hpp"
#include "common/result.hpp"

namespace tessimar {

// Removes "<phase>.in", "<phase>.out" and "<phase>.err" from the scratch
// directory: a link is removed itself, a directory with what is below it.
Status remove_phase_files(const std::string& scratch_dir, const DirIdentity& scratch_id,
                          const std::string& phase);

// Removes every entry of a work directory the runner created, except the
// scratch directory.
Status empty_work_dir(const std::string& work_dir, const DirIdentity& work_id);

}  // namespace tessimar
