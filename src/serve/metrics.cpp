#include "serve/metrics.hpp"

#include <cstdio>

namespace tessimar {
namespace {

// A label value: backslash, double quote and line feed escaped.
std::string label(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace

void Metrics::count_request(const std::string& endpoint, unsigned status) { ++requests_[{endpoint, status}]; }

void Metrics::count_verdict(const std::string& verdict) { ++verdicts_[verdict]; }

void Metrics::observe_run_seconds(double seconds) {
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) ++bucket_counts_[i];
    ++runs_;
    run_seconds_ += seconds;
}

std::string Metrics::render(std::size_t queued, unsigned running, unsigned jobs) const {
    std::string out;
    out += "# HELP tessimar_requests_total HTTP requests answered, by endpoint and status code.\n";
    out += "# TYPE tessimar_requests_total counter\n";
    for (const auto& [key, n] : requests_)
        out += "tessimar_requests_total{endpoint=\"" + label(key.first) + "\",code=\"" + std::to_string(key.second) +
               "\"} " + std::to_string(n) + "\n";
    out += "# HELP tessimar_verdicts_total Runs reported, by verdict.\n";
    out += "# TYPE tessimar_verdicts_total counter\n";
    for (const auto& [verdict, n] : verdicts_)
        out += "tessimar_verdicts_total{verdict=\"" + label(verdict) + "\"} " + std::to_string(n) + "\n";
    out += "# HELP tessimar_queue_depth Requests waiting for a free job.\n";
    out += "# TYPE tessimar_queue_depth gauge\n";
    out += "tessimar_queue_depth " + std::to_string(queued) + "\n";
    out += "# HELP tessimar_running Runs going on.\n";
    out += "# TYPE tessimar_running gauge\n";
    out += "tessimar_running " + std::to_string(running) + "\n";
    out += "# HELP tessimar_jobs Runs that may go on at once.\n";
    out += "# TYPE tessimar_jobs gauge\n";
    out += "tessimar_jobs " + std::to_string(jobs) + "\n";
    out += "# HELP tessimar_run_seconds Time from a run's start to its report.\n";
    out += "# TYPE tessimar_run_seconds histogram\n";
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
        out += "tessimar_run_seconds_bucket{le=\"" + number(kBuckets[i]) + "\"} " + std::to_string(bucket_counts_[i]) +
               "\n";
    out += "tessimar_run_seconds_bucket{le=\"+Inf\"} " + std::to_string(runs_) + "\n";
    out += "tessimar_run_seconds_sum " + number(run_seconds_) + "\n";
    out += "tessimar_run_seconds_count " + std::to_string(runs_) + "\n";
    return out;
}

}  // namespace tessimar
