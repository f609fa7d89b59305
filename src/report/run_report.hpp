// The run report: its four shapes, the verdict, and the one-line text form.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "common/check_result.hpp"
#include "common/phase_outcome.hpp"

namespace tessimar {

// Objects keep their members sorted by key (std::map), which is the byte
// order the text form requires.
using Json = nlohmann::json;

std::string classify_verdict(const PhaseOutcome& outcome, std::uint64_t max_memory_mb);

Json build_setup_error_report(const std::string& message);
Json build_compile_failure_report(const std::string& language_name, PhaseOutcome compile_outcome,
                                  std::uint64_t compile_ms, std::uint64_t total_ms,
                                  const std::string& workdir, std::uint64_t max_memory_mb);
Json build_budget_exhausted_report(const std::string& language_name, std::uint64_t compile_ms,
                                   std::uint64_t total_ms, const std::string& workdir);
Json build_run_report(const std::string& language_name, PhaseOutcome run_outcome,
                      std::uint64_t duration_ms, std::uint64_t compile_ms, std::uint64_t total_ms,
                      const std::string& workdir, std::uint64_t max_memory_mb);

// One case of a run over many inputs: the members of that case's run report
// that describe its run phase, with the case's name.
Json build_case_object(const std::string& name, const Json& run_report);

// A judged report: "passed" and "check_message". A run whose own verdict is
// "OK" becomes "WA" when its output did not pass and "FAIL" when the check
// itself failed, both with ok false. A NotChecked result only adds the two
// keys as null. A result with a score adds "score" too.
void add_check_result(Json& report, const CheckResult& result);

// A case that was not run because an earlier one failed: verdict "SKIPPED",
// ok false, measurements null or zero. `judged` adds the two check keys.
Json build_skipped_case_object(const std::string& name, bool judged);

// Compact JSON followed by "\n".
std::string to_json_line(const Json& value);

}  // namespace tessimar
