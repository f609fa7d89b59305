#include "driver/case_line.hpp"

namespace tessimar {

std::string compact(const Json& value) {
    std::string text = to_json_line(value);
    text.pop_back();
    return text;
}

TimedOutcome not_started(const std::string& message, const PreparedRun& run) {
    TimedOutcome r;
    r.outcome.stderr_text = message;
    r.outcome.spawn_error = message;
    r.outcome.exit_code = -2;
    r.total_ms = ms_since(run.t0);
    return r;
}

}  // namespace tessimar
