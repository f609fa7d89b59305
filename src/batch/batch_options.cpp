#include "batch/batch_options.hpp"

#include <sched.h>

#include <algorithm>

#include "common/option_names.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

bool is_batch_option(std::string_view a) {
    return a == "--batch" || a == "--jobs" || a == "--out" || a == "--first-line" || a == "--max-line-mb";
}

// The options of a batch command line that take the next argument.
bool takes_value(std::string_view a) { return is_value_option(a) || is_batch_option(a); }

}  // namespace

std::optional<Result<BatchOptions>> scan_batch_options(const std::vector<std::string>& args) {
    BatchOptions o;
    bool batch = false;
    std::optional<std::string> missing;  // a batch option without its value
    std::optional<std::string> bad_jobs, bad_first, bad_line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (!takes_value(a)) {
            o.defaults.push_back(a);
            continue;
        }
        const bool own = is_batch_option(a);
        if (i + 1 >= args.size()) {
            if (a == "--batch") batch = true;
            if (own) missing = a;
            break;
        }
        const std::string& v = args[++i];
        if (a == "--batch") {
            batch = true;
            o.input = v;
        } else if (a == "--jobs") {
            const auto n = parse_u64(v);
            if (n && *n >= 1 && *n <= kMaxJobs) {
                o.jobs = static_cast<unsigned>(*n);
                bad_jobs.reset();
            } else {
                bad_jobs = v;
            }
        } else if (a == "--first-line") {
            const auto n = parse_u64(v);
            if (n && *n >= 1 && *n < UINT64_MAX) {
                o.first_line = *n;
                bad_first.reset();
            } else {
                bad_first = v;
            }
        } else if (a == "--max-line-mb") {
            const auto n = parse_u64(v);
            if (n && *n >= 1 && *n <= kMaxLineMbLimit) {
                o.max_line_mb = *n;
                bad_line.reset();
            } else {
                bad_line = v;
            }
        } else if (a == "--out") {
            o.out = v;
        } else {
            o.defaults.push_back(a);
            o.defaults.push_back(v);
        }
    }
    if (!batch) return std::nullopt;
    if (missing)
        return Result<BatchOptions>(Error{*missing + " needs a value" +
                                          (*missing == "--batch" ? " (a file, or - for standard input)" : "")});
    if (bad_jobs)
        return Result<BatchOptions>(Error{"--jobs must be a whole number from 1 to " + std::to_string(kMaxJobs) +
                                          ", not '" + utf8_lossy(*bad_jobs) + "'"});
    if (bad_first)
        return Result<BatchOptions>(Error{"--first-line must be a whole number from 1 to 18446744073709551614, not '" +
                                          utf8_lossy(*bad_first) + "'"});
    if (bad_line)
        return Result<BatchOptions>(Error{"--max-line-mb must be a whole number of MiB from 1 to " +
                                          std::to_string(kMaxLineMbLimit) + ", not '" + utf8_lossy(*bad_line) + "'"});
    if (o.input.empty()) return Result<BatchOptions>(Error{"--batch needs a file name, or - for standard input"});
    if (o.out && o.out->empty()) return Result<BatchOptions>(Error{"--out needs a file name"});
    return Result<BatchOptions>(std::move(o));
}

bool has_flag(const std::vector<std::string>& args, std::string_view flag) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == flag) return true;
        if (takes_value(args[i])) ++i;
    }
    return false;
}

std::vector<std::string> without_flag(const std::vector<std::string>& args, std::string_view flag) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == flag) continue;
        out.push_back(args[i]);
        if (takes_value(args[i]) && i + 1 < args.size()) out.push_back(args[++i]);
    }
    return out;
}

std::vector<std::string> without_value_option(const std::vector<std::string>& args, std::string_view option) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == option) {
            ++i;
            continue;
        }
        out.push_back(args[i]);
        if (takes_value(args[i]) && i + 1 < args.size()) out.push_back(args[++i]);
    }
    return out;
}

unsigned usable_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n < 1 ? 1u : std::min(static_cast<unsigned>(n), kMaxJobs);
}

}  // namespace tessimar
