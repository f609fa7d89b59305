// The limits of one run, as parsed from the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessimar {

struct RunLimits {
    std::uint64_t timeout_secs = 10;
    std::uint64_t max_cpu_secs = 0;   // 0: not given, the default applies
    std::uint64_t max_memory_mb = 0;  // 0: not given, the default applies
    std::uint64_t max_output_kb = 0;  // 0: not given, the default applies
    std::uint64_t max_data_mb = 0;    // --max-data-mb; 0: not given, no data-segment limit
    bool no_net = false;
    bool contain = false;  // --contain: Landlock confinement, private HOME and TMPDIR
    // --timeout-ms, when it came after every --timeout: the wall-clock limit
    // in milliseconds, in place of timeout_secs.
    std::optional<std::uint64_t> timeout_ms;
    // --compile-timeout or --compile-timeout-ms: the compile phase's own
    // wall-clock limit. Without it the compile phase and the run phase share
    // the one timeout.
    std::optional<std::uint64_t> compile_timeout_ms;
    // --build-cache DIR: where successful compiles are kept and reused.
    // Not a limit, but passed everywhere the limits go.
    std::optional<std::string> build_cache;
    std::uint64_t build_cache_mb = 0;  // --build-cache-mb; 0: not given, the default applies
};

// The wall-clock limit in milliseconds (saturating).
std::uint64_t wall_timeout_ms(const RunLimits& limits);

// The CPU limit that applies when --max-cpu is not given: the wall-clock
// limit in whole seconds, rounded up, plus 8.
std::uint64_t default_cpu_secs(const RunLimits& limits);

// `limits` with a wall-clock limit of `ms` milliseconds. A whole number of
// seconds is kept as seconds, so that such a limit reads the same.
RunLimits with_timeout_ms(RunLimits limits, std::uint64_t ms);

// The limit in the words of a message: "3 s", or "1500 ms".
std::string describe_timeout(const RunLimits& limits);

}  // namespace tessimar
