// One program compiled once and run once per case of a directory. The
// report line is written piece by piece as the cases end: "cases" is the
// first key in byte order, so only the top level's own report is kept.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/run_limits.hpp"
#include "driver/case_line.hpp"
#include "driver/run_driver.hpp"

namespace tessimar {

// Writes the whole line (ending in "\n") to `sink`. Returns false when the
// sink failed; the cases left are then not run. A case with an expected
// answer (every case, with a checker) is judged; `judging.expected` is not
// used.
bool run_cases(const std::string& language, std::string program_text, const std::string& cases_dir,
               const RunLimits& limits, const std::optional<std::string>& workdir, const Judging& judging,
               const LineSink& sink);

}  // namespace tessimar
