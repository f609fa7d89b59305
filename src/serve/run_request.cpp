#include "serve/run_request.hpp"

#include <sys/wait.h>

namespace tessimar {
namespace {

// A body is line 1 of its own; that number means nothing to an HTTP client.
constexpr std::uint64_t kLine = 1;

std::string without_line_prefix(const std::string& message) {
    const std::string prefix = "line " + std::to_string(kLine) + ": ";
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

std::string describe_status(int status) {
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

std::string error_body(const std::string& message) { return error_line(message, ""); }

HttpRun prepare_run(std::string body, const ServiceRules& rules) {
    HttpRun out;
    BatchRequest request = translate_request(std::move(body), kLine, rules.defaults);
    if (request.id_given) out.id = request.id;
    if (!request.run) {
        const std::string why = without_line_prefix(request.run.error());
        out.refusal = {400, error_line(why, out.id), why};
        return out;
    }
    const RequestLimits limits = rules.limits_of(request.run.value().args);
    if (const std::optional<std::string> why = exceeds_ceilings(rules.ceilings, limits)) {
        out.refusal = {400, error_line(*why, out.id), *why};
        return out;
    }
    out.start_budget_ms = start_budget_ms(limits);
    out.run = std::move(request.run).value();
    return out;
}

HttpAnswer answer_run(const std::string& report, int wait_status, const std::string& id) {
    if (std::optional<BatchLine> line = output_line_from_report(report, id)) return {200, std::move(line->text), {}};
    const std::string why = "the runner ended without a report (" + describe_status(wait_status) + ")";
    return {500, error_line(why, id), why};
}

}  // namespace tessimar
