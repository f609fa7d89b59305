#include "cli/options.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "common/fd.hpp"
#include "common/option_names.hpp"
#include "common/relative_path.hpp"
#include "common/text.hpp"

namespace tessimar {
namespace {

// Whether `flag` stands where an option stands: a value of a value option
// ("--stdin --help") is the value, not the flag.
bool has_option(const std::vector<std::string>& args, const char* flag) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == flag) return true;
        if (is_value_option(args[i])) ++i;
    }
    return false;
}

}  // namespace

Mode select_mode(const std::vector<std::string>& args) {
    const auto has = [&](const char* flag) {
        for (const std::string& a : args)
            if (a == flag) return true;
        return false;
    };
    if (has("--probe")) return Mode::Probe;
    if (has("--languages")) return Mode::Languages;
    if (has("--capabilities")) return Mode::Capabilities;
    if (has_option(args, "--help")) return Mode::Help;
    if (has_option(args, "--version")) return Mode::Version;
    return Mode::Run;
}

RunOptions scan_options(const std::vector<std::string>& args) {
    RunOptions o;
    const auto number = [](const std::string& v, std::uint64_t fallback) {
        return parse_u64(v).value_or(fallback);
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--no-net") {
            o.limits.no_net = true;
            continue;
        }
        if (a == "--contain") {
            o.limits.contain = true;
            continue;
        }
        if (a == "--ignore-case") {
            o.judge.ignore_case = true;
            continue;
        }
        if (a == "--stop-at-first-failure") {
            o.stop_at_first_failure = true;
            continue;
        }
        if (!is_value_option(a)) continue;
        if (i + 1 >= args.size()) break;
        const std::string& v = args[++i];
        if (a == "--lang") o.language = utf8_lossy(v);
        else if (a == "--timeout") {
            o.limits.timeout_secs = number(v, 10);
            o.limits.timeout_ms.reset();
            o.timeout_given = true;
        } else if (a == "--timeout-ms") {
            // An invalid value stands for the default, as for --timeout.
            o.limits.timeout_ms = parse_u64(v);
            if (!o.limits.timeout_ms) o.limits.timeout_secs = 10;
            o.timeout_given = true;
        } else if (a == "--compile-timeout") {
            const std::optional<std::uint64_t> secs = parse_u64(v);
            o.limits.compile_timeout_ms.reset();
            if (secs) o.limits.compile_timeout_ms = sat_mul(*secs, 1000);
        } else if (a == "--compile-timeout-ms") {
            o.limits.compile_timeout_ms = parse_u64(v);
        }
        else if (a == "--max-cpu") o.limits.max_cpu_secs = number(v, 0);
        else if (a == "--max-memory-mb") o.limits.max_memory_mb = number(v, 0);
        else if (a == "--max-output-kb") o.limits.max_output_kb = number(v, 0);
        else if (a == "--max-data-mb") o.limits.max_data_mb = number(v, 0);
        else if (a == "--build-cache") o.limits.build_cache = v;
        else if (a == "--build-cache-mb") o.limits.build_cache_mb = number(v, 0);
        else if (a == "--stdin") o.stdin_text = v;
        else if (a == "--stdin-file") o.stdin_file = v;
        else if (a == "--cases") o.cases = v;
        else if (a == "--problem") o.problem = v;
        else if (a == "--expect-file") o.expect_file = v;
        else if (a == "--check") o.judge.check = v;
        else if (a == "--float-tolerance") o.judge.float_tolerance = v;
        else if (a == "--checker") o.judge.checker = v;
        else if (a == "--interactor") o.judge.interactor = v;
        else if (a == "--transcript-kb") o.judge.transcript_kb = parse_u64(v);
        else if (a == "--judge-protocol") o.judge.judge_protocol = v;
        else if (a == "--judge-arg") o.judge.judge_args.push_back(v);  // every occurrence counts
        else if (a == "--files") o.files = v;
        else if (a == "--fetch") o.fetch.push_back(v);  // every occurrence counts
        else o.workdir = v;
    }
    return o;
}

Result<std::string> read_all(int fd) {
    std::string data;
    if (const int err = append_to_end(fd, data)) return Error{os_error_text(err)};
    return data;
}

Status check_file_options(const RunOptions& o) {
    const char* used = o.files ? "--files" : !o.fetch.empty() ? "--fetch" : nullptr;
    const std::pair<bool, const char*> modes[] = {
        {o.cases.has_value(), "--cases"},
        {o.problem.has_value(), "--problem"},
        {o.judge.interactor.has_value(), "--interactor"}};
    for (const auto& [given, mode] : modes)
        if (used != nullptr && given)
            return Error{std::string(used) + " is for a single run: it cannot be used with " + mode};
    for (const std::string& path : o.fetch)
        if (const Result<std::vector<std::string>> parts = split_relative_path(path, false); !parts)
            return Error{"--fetch '" + display_path(path) + "' " + parts.error() +
                         ": give a path relative to the work directory"};
    return Status::success();
}

Status load_stdin_file(RunOptions& o) {
    if (!o.stdin_file) return Status::success();
    const auto failed = [&](const std::string& reason) {
        return Error{"cannot read --stdin-file " + display_path(*o.stdin_file) + ": " + reason};
    };
    if (o.stdin_file->find('\0') != std::string::npos) return failed("nul byte found in provided data");
    UniqueFd fd(retry_eintr([&] { return open(o.stdin_file->c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid()) return failed(os_error_text(errno));
    std::string data;
    if (const int err = append_to_end(fd.get(), data)) return failed(os_error_text(err));
    o.stdin_text = std::move(data);
    return Status::success();
}

Result<std::optional<MemFile>> load_expect_file(const RunOptions& o) {
    if (!o.expect_file) return std::optional<MemFile>();
    const auto failed = [&](const std::string& reason) {
        return Error{"cannot read --expect-file " + display_path(*o.expect_file) + ": " + reason};
    };
    if (o.expect_file->find('\0') != std::string::npos) return failed("nul byte found in provided data");
    UniqueFd fd(retry_eintr([&] { return open(o.expect_file->c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd.valid()) return failed(os_error_text(errno));
    int err = 0;
    Result<MemFile> copy = mem_file_from_fd(fd.get(), kMaxExpectedBytes, err);
    if (!copy) return failed(err == EFBIG ? std::string("larger than 64 MiB") : copy.error());
    return std::optional<MemFile>(std::move(copy.value()));
}

}  // namespace tessimar
