// The measured result of one phase (one child process).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessimar {

// Notes are fixed identifiers with static storage.
using NoteList = std::vector<const char*>;

struct PhaseOutcome {
    std::optional<std::uint64_t> stdout_bytes;
    std::optional<std::uint64_t> stderr_bytes;
    std::string stdout_text;
    std::string stderr_text;
    NoteList unenforced;
    std::optional<std::string> output_error;
    std::optional<std::string> spawn_error;
    bool signaled = false;
    std::int32_t signal = 0;
    std::int64_t exit_code = 0;
    std::uint64_t cpu_ms = 0;
    std::uint64_t peak_memory_kb = 0;
    bool timed_out = false;
    bool output_truncated = false;
    // Under --max-data-mb: the peak (KiB) above which the phase ran out of
    // memory; 0 without it. peak_memory_kb then covers every reaped descendant.
    std::uint64_t memory_budget_kb = 0;
};

}  // namespace tessimar
