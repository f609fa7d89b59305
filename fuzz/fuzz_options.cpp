// The argument list (NUL-separated arguments) through select_mode and
// scan_options, against a model of the scan written out separately.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "common/option_names.hpp"
#include "common/text.hpp"
#include "fuzz_support.hpp"

namespace {

using tessimar::Mode;

// Unsigned decimal fitting 64 bits, optional single leading '+'.
std::optional<std::uint64_t> model_number(std::string_view v) {
    std::size_t i = 0;
    if (i < v.size() && v[i] == '+') ++i;
    if (i == v.size()) return std::nullopt;
    unsigned __int128 value = 0;
    for (; i < v.size(); ++i) {
        if (v[i] < '0' || v[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(v[i] - '0');
        if (value > UINT64_MAX) return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

// Every option that takes the next argument as its value, as this model
// knows them. The scan must know exactly these: a value option missing here
// would make the model read its value as an option of its own.
constexpr std::string_view kModelValueOptions[] = {
    "--lang",       "--timeout", "--timeout-ms", "--compile-timeout", "--compile-timeout-ms",
    "--max-cpu",    "--max-memory-mb", "--max-output-kb", "--max-data-mb", "--stdin",
    "--stdin-file", "--workdir", "--cases", "--expect-file", "--check",
    "--float-tolerance", "--checker", "--interactor", "--transcript-kb", "--judge-protocol", "--judge-arg",
    "--build-cache", "--build-cache-mb",
    "--files",      "--fetch",
};

bool model_value_option(std::string_view a) {
    for (const std::string_view name : kModelValueOptions)
        if (a == name) return true;
    return false;
}

struct Model {
    std::string language;
    std::uint64_t timeout = 10, cpu = 0, memory = 0, output = 0, data = 0, build_cache_mb = 0;
    std::optional<std::uint64_t> timeout_ms, compile_timeout_ms;
    bool no_net = false, contain = false, ignore_case = false, stop_at_first_failure = false;
    std::string stdin_text;
    std::optional<std::string> stdin_file, workdir, cases, expect_file, check, float_tolerance, checker,
        interactor, judge_protocol, build_cache, files;
    std::optional<std::uint64_t> transcript_kb;
    std::vector<std::string> judge_args;  // every occurrence, in order
    std::vector<std::string> fetch;       // every occurrence, in order
};

// The value options whose value is kept as text.
std::optional<std::string>* text_field(Model& m, const std::string& a) {
    if (a == "--stdin-file") return &m.stdin_file;
    if (a == "--workdir") return &m.workdir;
    if (a == "--cases") return &m.cases;
    if (a == "--expect-file") return &m.expect_file;
    if (a == "--check") return &m.check;
    if (a == "--float-tolerance") return &m.float_tolerance;
    if (a == "--checker") return &m.checker;
    if (a == "--interactor") return &m.interactor;
    if (a == "--judge-protocol") return &m.judge_protocol;
    if (a == "--build-cache") return &m.build_cache;
    if (a == "--files") return &m.files;
    return nullptr;
}

Model model_scan(const std::vector<std::string>& args) {
    Model m;
    std::size_t i = 0;
    while (i < args.size()) {
        const std::string& a = args[i];
        ++i;
        if (a == "--no-net") {
            m.no_net = true;
            continue;
        }
        if (a == "--contain") {
            m.contain = true;
            continue;
        }
        if (a == "--ignore-case") {
            m.ignore_case = true;
            continue;
        }
        if (a == "--stop-at-first-failure") {
            m.stop_at_first_failure = true;
            continue;
        }
        if (!model_value_option(a)) continue;
        if (i == args.size()) break;  // the value is missing: the scan ends
        const std::string& v = args[i];
        ++i;
        const std::optional<std::uint64_t> n = model_number(v);
        if (a == "--timeout") {
            m.timeout = n.value_or(10);
            m.timeout_ms.reset();
        } else if (a == "--timeout-ms") {
            m.timeout_ms = n;
            if (!n) m.timeout = 10;
        } else if (a == "--compile-timeout") {
            m.compile_timeout_ms.reset();
            if (n) m.compile_timeout_ms = *n > UINT64_MAX / 1000 ? UINT64_MAX : *n * 1000;
        } else if (a == "--compile-timeout-ms") {
            m.compile_timeout_ms = n;
        } else if (a == "--transcript-kb") {
            m.transcript_kb = n;
        } else if (a == "--max-cpu") {
            m.cpu = n.value_or(0);
        } else if (a == "--max-memory-mb") {
            m.memory = n.value_or(0);
        } else if (a == "--max-output-kb") {
            m.output = n.value_or(0);
        } else if (a == "--max-data-mb") {
            m.data = n.value_or(0);
        } else if (a == "--build-cache-mb") {
            m.build_cache_mb = n.value_or(0);
        } else if (a == "--lang") {
            m.language = tessimar::utf8_lossy(v);
        } else if (a == "--stdin") {
            m.stdin_text = v;  // the child's input stays bytes
        } else if (a == "--judge-arg") {
            m.judge_args.push_back(v);  // appended, not replaced
        } else if (a == "--fetch") {
            m.fetch.push_back(v);  // appended, not replaced
        } else {
            *text_field(m, a) = v;
        }
    }
    return m;
}

Mode model_mode(const std::vector<std::string>& args) {
    bool probe = false, languages = false, capabilities = false;
    for (const std::string& a : args) {
        probe |= a == "--probe";
        languages |= a == "--languages";
        capabilities |= a == "--capabilities";
    }
    if (probe || languages || capabilities)
        return probe ? Mode::Probe : languages ? Mode::Languages : Mode::Capabilities;
    // --help and --version count only where an option stands.
    bool help = false, version = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        help |= a == "--help";
        version |= a == "--version";
        if (model_value_option(a)) ++i;
    }
    return help ? Mode::Help : version ? Mode::Version : Mode::Run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The model and the runner know the same value options, on every run.
    for (const std::string_view name : tessimar::value_option_names()) FUZZ_CHECK(model_value_option(name));
    for (const std::string_view name : kModelValueOptions) FUZZ_CHECK(tessimar::is_value_option(name));
    std::vector<std::string> args;
    if (size > 0) {
        std::string current;
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == 0) {
                args.push_back(current);
                current.clear();
            } else {
                current += static_cast<char>(data[i]);
            }
        }
        args.push_back(current);
    }

    FUZZ_CHECK(tessimar::select_mode(args) == model_mode(args));

    const tessimar::RunOptions o = tessimar::scan_options(args);
    const Model m = model_scan(args);
    FUZZ_CHECK(o.language == m.language);
    FUZZ_CHECK(o.limits.timeout_secs == m.timeout);
    FUZZ_CHECK(o.limits.max_cpu_secs == m.cpu);
    FUZZ_CHECK(o.limits.max_memory_mb == m.memory);
    FUZZ_CHECK(o.limits.max_output_kb == m.output);
    FUZZ_CHECK(o.limits.max_data_mb == m.data);
    FUZZ_CHECK(o.limits.timeout_ms == m.timeout_ms);
    FUZZ_CHECK(o.limits.compile_timeout_ms == m.compile_timeout_ms);
    FUZZ_CHECK(o.limits.no_net == m.no_net);
    FUZZ_CHECK(o.limits.contain == m.contain);
    FUZZ_CHECK(o.limits.build_cache == m.build_cache);
    FUZZ_CHECK(o.limits.build_cache_mb == m.build_cache_mb);
    FUZZ_CHECK(o.cases == m.cases);
    FUZZ_CHECK(o.stdin_text == m.stdin_text);
    FUZZ_CHECK(o.stdin_file == m.stdin_file);
    FUZZ_CHECK(o.workdir == m.workdir);
    FUZZ_CHECK(o.expect_file == m.expect_file);
    FUZZ_CHECK(o.judge.check == m.check);
    FUZZ_CHECK(o.judge.float_tolerance == m.float_tolerance);
    FUZZ_CHECK(o.judge.checker == m.checker);
    FUZZ_CHECK(o.judge.interactor == m.interactor);
    FUZZ_CHECK(o.judge.transcript_kb == m.transcript_kb);
    FUZZ_CHECK(o.judge.judge_protocol == m.judge_protocol);
    FUZZ_CHECK(o.files == m.files);
    FUZZ_CHECK(o.fetch == m.fetch);
    FUZZ_CHECK(o.judge.judge_args == m.judge_args);
    FUZZ_CHECK(o.judge.ignore_case == m.ignore_case);
    FUZZ_CHECK(o.stop_at_first_failure == m.stop_at_first_failure);

    // The language is always text.
    FUZZ_CHECK(tessimar::is_valid_utf8(o.language));

    // The number rule on each argument on its own.
    for (const std::string& a : args) FUZZ_CHECK(tessimar::parse_u64(a) == model_number(a));

    // Without any of the value options or --no-net nothing changes.
    bool any_option = false;
    for (const std::string& a : args) any_option |= model_value_option(a) || a == "--no-net" || a == "--contain";
    if (!any_option) {
        FUZZ_CHECK(o.language.empty() && o.stdin_text.empty());
        FUZZ_CHECK(o.limits.timeout_secs == 10 && o.limits.max_cpu_secs == 0 &&
                   o.limits.max_memory_mb == 0 && o.limits.max_output_kb == 0 &&
                   !o.limits.no_net && !o.limits.contain);
        FUZZ_CHECK(!o.stdin_file && !o.workdir && !o.cases && !o.limits.timeout_ms && !o.limits.compile_timeout_ms);
    }
    return 0;
}
