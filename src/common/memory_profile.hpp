// How one language's runtime lives under a data-segment limit: what it needs
// on top of the program's own memory, how much address space it reserves
// beyond that, and which heap hint keeps a managed heap inside the limit.
// Stored with each catalogue row, read by the phase that applies the limit.
#pragma once

#include <cstdint>

namespace tessimar {

// The heap hint a runtime is given, derived from the limit in MiB.
enum class HeapHint {
    None,
    Jvm,           // arguments after the launcher: heap, stacks, collector, code cache, class space
    NodeOldSpace,  // --max-old-space-size appended to NODE_OPTIONS
    DenoV8,        // the same flag through DENO_V8_FLAGS
    GoMemLimit,    // GOMEMLIMIT
    PhpMemory,     // -d memory_limit=, so PHP's own limit is the run's
};

struct PhaseMemory {
    std::uint64_t allowance_mb = 0;  // RLIMIT_DATA is the limit plus this
    // RLIMIT_AS, when no address-space limit is asked for, is the data limit
    // plus this; 0: no backstop (a runtime that reserves tens of GiB).
    std::uint64_t reserve_mb = 0;
};

struct MemoryProfile {
    PhaseMemory run;
    PhaseMemory compile;  // the compiler of a compiled row: its own needs, not the program's
    HeapHint hint = HeapHint::None;
};

}  // namespace tessimar
