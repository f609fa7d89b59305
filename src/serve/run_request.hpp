// A POST /run body as one runner invocation, and the runner's report as the
// response: the --batch translation and output line, with HTTP's own rules
// on top (no line number, no id unless the request has one, the service's
// ceilings). Pure functions on values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "batch/batch_request.hpp"
#include "serve/ceilings.hpp"

namespace tessimar {

// The effective limits of a runner's argument list.
using LimitsOf = RequestLimits (*)(const std::vector<std::string>& args);

struct ServiceRules {
    std::vector<std::string> defaults;  // the service's run options
    RequestLimits ceilings;             // their effective limits
    LimitsOf limits_of = nullptr;
};

struct HttpAnswer {
    unsigned status = 200;
    std::string body;   // JSON, ending in a line feed
    std::string error;  // the message of an error body
};

struct HttpRun {
    std::optional<BatchRun> run;  // absent: refused, see `refusal`
    HttpAnswer refusal;
    std::string id;                    // the request's id as JSON text; empty: none
    std::uint64_t start_budget_ms = 0;  // see start_budget_ms()
};

// A request body: the runner invocation, or a 400 answer with the error
// object --batch would write for it (without a line number).
HttpRun prepare_run(std::string body, const ServiceRules& rules);

// The answer for a runner's report: 200 with the --batch output line for
// every verdict, or 500 when the runner ended without a report.
HttpAnswer answer_run(const std::string& report, int wait_status, const std::string& id);

// {"error":message,"ok":false} and a line feed.
std::string error_body(const std::string& message);

}  // namespace tessimar
