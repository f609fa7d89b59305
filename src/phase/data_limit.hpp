// The data-segment limit of a phase (--max-data-mb): RLIMIT_DATA with the
// row's allowance, the address-space backstop, the peak above which the
// phase is out of memory, and the heap hints of managed runtimes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/memory_profile.hpp"
#include "common/run_limits.hpp"
#include "phase/child_env.hpp"

namespace tessimar {

struct DataLimitPlan {
    std::uint64_t data_mb = 0;      // RLIMIT_DATA in MiB; 0: no data limit (the option is off)
    std::uint64_t backstop_mb = 0;  // RLIMIT_AS in MiB when none is asked for; 0: no backstop
    std::uint64_t budget_kb = 0;    // a peak above this is out of memory; 0: not judged
    HeapHint hint = HeapHint::None;
    std::uint64_t heap_mb = 0;      // the managed heap the hint asks for
};

// Pure: the plan of one phase. The compile phase runs the row's compiler,
// which gets its own allowance and no hint; its budget is its whole limit.
DataLimitPlan plan_data_limit(const RunLimits& limits, const MemoryProfile& memory, bool compile_phase);

// The limits as the ordinary limit plan should see them: the backstop in
// place of the default address space, when no address-space limit is asked for.
RunLimits with_backstop(const RunLimits& limits, const DataLimitPlan& plan);

// Adds the heap hint to the child's arguments (right after the program) or
// environment. Nothing it adds prints anything.
void apply_heap_hint(const DataLimitPlan& plan, std::vector<std::string>& argv, ChildEnv& env);

}  // namespace tessimar
