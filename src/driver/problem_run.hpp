// One program judged on every test case of a problem package: compiled
// once, run on each case in the package's order, its output checked by the
// package's validator, the groups' verdicts and scores worked out by their
// rules. The report line is written as the cases end, like run_cases.
#pragma once

#include <optional>
#include <string>

#include "common/result.hpp"
#include "common/run_limits.hpp"
#include "driver/cases_run.hpp"

namespace tessimar {

struct ProblemOptions {
    std::string package_dir;
    // The caller's own --timeout/--timeout-ms: it wins over the package's
    // time limit. The other limits the package states apply where the
    // caller left them unset (0 or none).
    bool timeout_given = false;
    bool stop_at_first_failure = false;
};

bool run_problem(const std::string& language, std::string program_text, const ProblemOptions& options,
                 const RunLimits& limits, const std::optional<std::string>& workdir, const LineSink& sink);

// Where validators built from packages are kept: --build-cache DIR/validators
// when given, else $XDG_CACHE_HOME (or $HOME/.cache)/tessimar-exec/validators.
Result<std::string> validator_cache_root(const RunLimits& limits);

}  // namespace tessimar
