// One phase: one child started under its limits, waited for with a
// wall-clock timeout, measured, and its output read back.
#pragma once

#include <string>
#include <vector>

#include "common/child_user.hpp"
#include "common/phase_outcome.hpp"
#include "common/memory_profile.hpp"
#include "common/run_limits.hpp"
#include "phase/child_env.hpp"

namespace tessimar {

struct PhaseRequest {
    std::string phase;              // "compile" or "run"
    std::vector<std::string> argv;  // at least one element
    std::string scratch_dir;
    std::string cwd;
    std::string stdin_bytes;
    RunLimits limits;
    std::string python_path;
    EnvPairs extra_env;
    MemoryProfile memory;  // the row's figures under --max-data-mb
    ChildUser user;                 // the run's own id, under --contain as root
};

// Takes the request by value: the input bytes are written to the phase's
// .in file and then let go, so the runner does not hold them while the
// child runs. A child counts what the runner had resident when it was
// forked in its own peak memory.
PhaseOutcome run_phase(PhaseRequest request);

}  // namespace tessimar
