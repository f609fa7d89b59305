#include "common/run_limits.hpp"

#include "common/text.hpp"

namespace tessimar {

std::uint64_t wall_timeout_ms(const RunLimits& limits) {
    return limits.timeout_ms ? *limits.timeout_ms : sat_mul(limits.timeout_secs, 1000);
}

std::uint64_t default_cpu_secs(const RunLimits& limits) {
    if (!limits.timeout_ms) return sat_add(limits.timeout_secs, 8);
    const std::uint64_t ms = *limits.timeout_ms;
    return sat_add(ms / 1000 + (ms % 1000 != 0 ? 1 : 0), 8);
}

RunLimits with_timeout_ms(RunLimits limits, std::uint64_t ms) {
    if (ms % 1000 == 0) {
        limits.timeout_secs = ms / 1000;
        limits.timeout_ms.reset();
    } else {
        limits.timeout_ms = ms;
    }
    return limits;
}

std::string describe_timeout(const RunLimits& limits) {
    if (!limits.timeout_ms) return std::to_string(limits.timeout_secs) + " s";
    return std::to_string(*limits.timeout_ms) + " ms";
}

}  // namespace tessimar
