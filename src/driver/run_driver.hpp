// One run, from the --lang text to the finished JSON value.
#pragma once

#include <optional>
#include <string>

#include "common/run_limits.hpp"
#include "report/run_report.hpp"

namespace tessimar {

Json run(const std::string& language, const std::string& program_text, const std::string& stdin_text,
         const RunLimits& limits, const std::optional<std::string>& workdir);

}  // namespace tessimar
