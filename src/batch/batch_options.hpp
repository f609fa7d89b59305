// The command line of batch mode: --batch FILE, --jobs N, --out FILE,
// --first-line N, --max-line-mb N, and the run options that become every request's defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

struct BatchOptions {
    std::string input;               // a path, or "-" for standard input
    std::optional<std::string> out;  // absent: standard output
    unsigned jobs = 0;               // 0: the CPUs this process may use
    // The line number of the input's first line: a shard of a larger input
    // numbers its lines (and so the ids of requests without one) as the
    // whole input would.
    std::uint64_t first_line = 1;
    // The longest request line in MiB, its line feed not counted; a longer
    // line is that line's error and is not held.
    std::uint64_t max_line_mb = 64;
    // The other arguments in their order, without a value option left
    // dangling at the end (it would swallow the request's first argument).
    std::vector<std::string> defaults;
};

inline constexpr unsigned kMaxJobs = 1024;

// The default number of jobs: the CPUs this process may run on, at most
// kMaxJobs.
unsigned usable_cpus();
inline constexpr std::uint64_t kMaxLineMbLimit = 1048576;  // 1 TiB

// Nullopt when the arguments do not ask for batch mode (no "--batch" in an
// option position); an error for a batch command line that cannot be used.
std::optional<Result<BatchOptions>> scan_batch_options(const std::vector<std::string>& args);

// Whether `flag` stands in `args` where an option stands (not as a value).
bool has_flag(const std::vector<std::string>& args, std::string_view flag);

// `args` without every flag occurrence of `flag` (values of value options
// are left alone).
std::vector<std::string> without_flag(const std::vector<std::string>& args, std::string_view flag);

// `args` without every occurrence of the value option `option` and its value.
std::vector<std::string> without_value_option(const std::vector<std::string>& args, std::string_view option);

}  // namespace tessimar
