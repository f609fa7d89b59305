// The runner's own directory ".tessimar-run" inside a work directory:
// verified against tampering, removed and created afresh for every run.
#pragma once

#include <string>

#include "common/result.hpp"

namespace tessimar {

inline constexpr const char* kScratchDirName = ".tessimar-run";

// Returns the path of an empty scratch directory created by this run.
Result<std::string> prepare_scratch_dir(const std::string& work_dir);

}  // namespace tessimar
