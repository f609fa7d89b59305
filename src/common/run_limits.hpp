// The limits of one run, as parsed from the command line.
#pragma once

#include <cstdint>

namespace tessimar {

struct RunLimits {
    std::uint64_t timeout_secs = 10;
    std::uint64_t max_cpu_secs = 0;   // 0: not given, the default applies
    std::uint64_t max_memory_mb = 0;  // 0: not given, the default applies
    std::uint64_t max_output_kb = 0;  // 0: not given, the default applies
    std::uint64_t max_data_mb = 0;    // --max-data-mb; 0: not given, no data-segment limit
    bool no_net = false;
    bool contain = false;  // --contain: Landlock confinement, private HOME and TMPDIR
};

}  // namespace tessimar
