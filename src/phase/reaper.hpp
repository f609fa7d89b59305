// Nothing a phase started outlives it: the runner adopts every orphan below
// it and, after each phase, kills and reaps them all.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tessimar {

// Makes the runner the reaper of its orphaned descendants, so that a process
// that leaves its group or session (setsid, setpgid, a double fork) is
// re-parented here instead of to init. Idempotent; false when the kernel
// refuses (the sweep then only reaches the runner's own children).
bool become_subreaper();

struct SweepResult {
    std::size_t killed = 0;  // processes found alive and sent SIGKILL
    bool complete = true;    // false: some were left when the bound ran out
    std::uint64_t peak_memory_kb = 0;  // the largest peak resident memory of those reaped
};

// Kills and reaps every child the runner has, again and again as the
// descendants of the killed are re-parented here, until none is left or
// `bound` has passed. Call only when no child of the runner is wanted.
SweepResult sweep_descendants(std::chrono::milliseconds bound);

}  // namespace tessimar
