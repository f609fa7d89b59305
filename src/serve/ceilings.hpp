// What a request over HTTP may ask for: the service's own run options are
// the defaults and the ceilings of every request, and no request reaches a
// path on the server or weakens the confinement the service runs with.
// Pure functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessimar {

// The effective limits of one argument list (defaults applied), as the
// command-line scan reads them.
struct RequestLimits {
    std::uint64_t wall_ms = 0;
    std::uint64_t compile_ms = 0;     // the compile phase's own limit; 0: it shares wall_ms
    std::uint64_t cpu_secs = 0;
    std::uint64_t memory_mb = 0;      // 0: no limit
    std::uint64_t data_mb = 0;        // 0: no limit
    std::uint64_t output_kb = 0;
    std::uint64_t transcript_kb = 0;  // 0: none
    bool contain = false;
    bool no_net = false;
    // Paths on the server: --workdir, --cases, --checker, --interactor, --problem.
    std::optional<std::string> workdir, cases, checker, interactor, problem;
};

// Nullopt when `request` stays within `server`; otherwise the message that
// names the request key and the service's limit.
std::optional<std::string> exceeds_ceilings(const RequestLimits& server, const RequestLimits& request);

// How long a request may wait for a job before it is answered 504: its
// compile and run budgets plus 10 s, in milliseconds.
std::uint64_t start_budget_ms(const RequestLimits& request);

}  // namespace tessimar
