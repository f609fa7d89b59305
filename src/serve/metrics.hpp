// The service's counters in the Prometheus text exposition format:
// requests by endpoint and status code, verdicts, the queue, and a
// histogram of run latency (start of the run to its report).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace tessimar {

class Metrics {
public:
    void count_request(const std::string& endpoint, unsigned status);
    void count_verdict(const std::string& verdict);
    void observe_run_seconds(double seconds);
    // The exposition text, with the gauges of this moment.
    std::string render(std::size_t queued, unsigned running, unsigned jobs) const;

    static constexpr std::array<double, 11> kBuckets{0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};

private:
    std::map<std::pair<std::string, unsigned>, std::uint64_t> requests_;
    std::map<std::string, std::uint64_t> verdicts_;
    std::array<std::uint64_t, kBuckets.size()> bucket_counts_{};
    std::uint64_t runs_ = 0;
    double run_seconds_ = 0;
};

}  // namespace tessimar
