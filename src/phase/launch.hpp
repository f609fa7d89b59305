// One phase: one child started under its limits, waited for with a
// wall-clock timeout, measured, and its output read back.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/child_user.hpp"
#include "common/phase_outcome.hpp"
#include "common/memory_profile.hpp"
#include "common/run_limits.hpp"
#include "phase/child_env.hpp"
#include "phase/child_wait.hpp"
#include "phase/reaper.hpp"

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

// The pieces of run_phase, for phases whose children run side by side (an
// interactive exchange): start, wait however the caller waits, end what
// they left, finish each.

// What a child takes as its standard input and output instead of the
// phase's files (-1: the file). The caller keeps its own descriptors; they
// are handed to the run's id with the files.
struct PhaseStreams {
    int stdin_fd = -1;
    int stdout_fd = -1;
    bool peer = false;  // the second child of the runner's termination handler
};

struct LaunchedPhase;
struct LaunchDeleter {
    void operator()(LaunchedPhase* launched) const;
};
using Launch = std::unique_ptr<LaunchedPhase, LaunchDeleter>;

struct PhaseStart {
    Launch launched;       // set when the child runs
    PhaseOutcome failure;  // the outcome of a child that could not be started
    pid_t pid = -1;
};

// Starts the child, leading its own process group and recorded for the
// termination handler. The caller reaps it.
PhaseStart start_phase(PhaseRequest request, const PhaseStreams& streams = {});

// Kills and reaps everything the runner's children left; with an active
// user, whatever runs under that id too. Call once no child is wanted.
SweepResult end_phase_processes(const ChildUser& user);

// The outcome of a reaped child: `waited` as wait_for_child would give it,
// `descendants_peak_kb` from the sweep.
PhaseOutcome finish_phase(LaunchedPhase& launched, const WaitResult& waited, std::uint64_t descendants_peak_kb);

}  // namespace tessimar
