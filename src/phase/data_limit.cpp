#include "phase/data_limit.hpp"

#include <algorithm>

#include "common/text.hpp"

namespace tessimar {
namespace {

// The smallest heap a hint asks for: below this the runtimes refuse to start.
constexpr std::uint64_t kMinHeapMb = 8;
// The largest (1 TiB): every runtime here still parses and accepts it.
constexpr std::uint64_t kMaxHeapMb = 1 << 20;

std::string mb(std::uint64_t v) { return std::to_string(v) + "m"; }

// After the launcher's own name, before the program's arguments.
void insert_after_program(std::vector<std::string>& argv, std::vector<std::string> args) {
    argv.insert(argv.begin() + (argv.empty() ? 0 : 1), args.begin(), args.end());
}

}  // namespace

DataLimitPlan plan_data_limit(const RunLimits& limits, const MemoryProfile& memory, bool compile_phase) {
    DataLimitPlan plan;
    if (limits.max_data_mb == 0) return plan;
    const PhaseMemory& phase = compile_phase ? memory.compile : memory.run;
    plan.data_mb = sat_add(limits.max_data_mb, phase.allowance_mb);
    if (phase.reserve_mb != 0) plan.backstop_mb = sat_add(plan.data_mb, phase.reserve_mb);
    plan.budget_kb = sat_mul(compile_phase ? plan.data_mb : limits.max_data_mb, 1024);
    if (!compile_phase) {
        plan.hint = memory.hint;
        // PHP counts its own allocations against its limit: the whole limit.
        // A managed heap gets three quarters of it, leaving room for the
        // runtime's own memory beside the heap (code, stacks, metadata).
        const std::uint64_t n = limits.max_data_mb;
        plan.heap_mb = std::clamp(memory.hint == HeapHint::PhpMemory ? n : n - n / 4, kMinHeapMb, kMaxHeapMb);
    }
    return plan;
}

RunLimits with_backstop(const RunLimits& limits, const DataLimitPlan& plan) {
    RunLimits out = limits;
    if (out.max_memory_mb == 0 && plan.backstop_mb != 0) out.max_memory_mb = plan.backstop_mb;
    return out;
}

void apply_heap_hint(const DataLimitPlan& plan, std::vector<std::string>& argv, ChildEnv& env) {
    const std::uint64_t heap = plan.heap_mb;
    switch (plan.hint) {
        case HeapHint::None:
            return;
        case HeapHint::Jvm:
            // Arguments, not JAVA_TOOL_OPTIONS or JDK_JAVA_OPTIONS: the JVM
            // announces those on standard error.
            insert_after_program(argv, {"-Xmx" + mb(heap), "-Xms4m", "-Xss1m", "-XX:+UseSerialGC",
                                        "-XX:ReservedCodeCacheSize=64m", "-XX:CompressedClassSpaceSize=64m",
                                        "-XX:TieredStopAtLevel=1"});
            return;
        case HeapHint::NodeOldSpace: {
            std::string& options = env["NODE_OPTIONS"];
            if (!options.empty()) options += ' ';
            options += "--max-old-space-size=" + std::to_string(heap);
            return;
        }
        case HeapHint::DenoV8:
            env["DENO_V8_FLAGS"] = "--max-old-space-size=" + std::to_string(heap);
            return;
        case HeapHint::GoMemLimit:
            env["GOMEMLIMIT"] = std::to_string(heap) + "MiB";
            return;
        case HeapHint::PhpMemory:
            insert_after_program(argv, {"-d", "memory_limit=" + std::to_string(heap) + "M"});
            return;
    }
}

}  // namespace tessimar
