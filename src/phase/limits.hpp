// Resource limits of a phase's child: planned in the runner, applied in the
// child between fork and exec.
#pragma once

#include <sys/resource.h>

#include <cstdint>

#include "common/child_user.hpp"
#include "common/phase_outcome.hpp"
#include "common/run_limits.hpp"

namespace tessimar {

inline constexpr std::uint64_t kMaxFileSizeBytes = 268435456;       // 256 MiB
inline constexpr std::uint64_t kDefaultAddressSpace = 2199023255552;  // 2 TiB

struct LimitPlan {
    std::uint64_t cpu_secs = 0;
    std::uint64_t file_size_bytes = 0;
    std::uint64_t open_files = 0;
    std::uint64_t processes = 0;
    std::uint64_t address_space_bytes = 0;
    std::uint64_t data_bytes = 0;  // RLIMIT_DATA; 0: left as inherited
};

struct Clamped {
    std::uint64_t value;
    bool lowered;
};

Clamped clamp_to_hard(int resource, std::uint64_t wanted);

// `output_caps_file_size`: derive the file-size limit from the output cap.
// The compile phase passes false: a compiler's products are not output.
// `user`: the id the children run as, which the process limit counts.
LimitPlan plan_limits(const RunLimits& limits, NoteList& unenforced, bool output_caps_file_size,
                      const ChildUser& user = ChildUser{});

// With a data limit of `data_mb` MiB (not 0): RLIMIT_DATA, lowered to the
// hard limit with the note "data_limit_clamped_to_hard_rlimit".
void plan_data_bytes(LimitPlan& plan, std::uint64_t data_mb, NoteList& unenforced);

// Child side, async-signal-safe. Returns false when the runner is already
// gone and the child must not exec.
bool apply_limits_in_child(const LimitPlan& plan, pid_t runner_pid);

}  // namespace tessimar
