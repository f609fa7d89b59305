// build_run_report / build_compile_failure_report and to_json_line on an
// outcome made from the input bytes. The line is compared byte for byte with
// one written out here (sorted keys, the escaping rules of the text form), and
// parsed back to compare every value with what went in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/phase_outcome.hpp"
#include "common/text.hpp"
#include "fuzz_support.hpp"
#include "report/run_report.hpp"

namespace {

constexpr const char* kNotes[] = {
    "cpu_limit_clamped_to_hard_rlimit",       "file_size_limit_clamped_to_hard_rlimit",
    "process_limit_clamped_to_hard_rlimit",   "process_limit_is_a_fixed_ceiling_not_measured",
    "process_limit_not_enforced_for_uid_0",   "memory_limit_clamped_to_hard_rlimit",
    "no_net_best_effort_shim",                "no_net_requested_but_no_shim_available"};

std::string json_quoted(std::string_view s) {
    std::string out = "\"";
    for (const char ch : s) {
        const unsigned char c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

std::string optional_quoted(const std::optional<std::string>& s) {
    return s ? json_quoted(*s) : "null";
}

std::string optional_number(const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : "null";
}

std::string boolean(bool b) { return b ? "true" : "false"; }

std::string text(FuzzedDataProvider& in, bool as_text) {
    std::string s = in.ConsumeRandomLengthString(256);
    return as_text ? tessimar::utf8_lossy(s) : s;
}

std::optional<std::string> optional_text(FuzzedDataProvider& in, bool as_text) {
    if (!in.ConsumeBool()) return std::nullopt;
    return text(in, as_text);
}

std::optional<std::uint64_t> optional_u64(FuzzedDataProvider& in) {
    if (!in.ConsumeBool()) return std::nullopt;
    return in.ConsumeIntegral<std::uint64_t>();
}

std::string model_verdict(const tessimar::PhaseOutcome& o, std::uint64_t max_memory_mb) {
    if (o.timed_out) return "TLE";
    if (o.output_truncated) return "OLE";
    if (o.signaled) {
        const unsigned __int128 half_limit_kb = static_cast<unsigned __int128>(max_memory_mb) * 512;
        if (max_memory_mb != 0 && o.peak_memory_kb >= half_limit_kb) return "MLE";
        return "RTE";
    }
    return o.exit_code == 0 ? "OK" : "RTE";
}

void check_json_string(const nlohmann::json& v, const std::string& expected, bool exact) {
    FUZZ_CHECK(v.is_string());
    const std::string& got = v.get_ref<const std::string&>();
    FUZZ_CHECK(tessimar::is_valid_utf8(got));
    FUZZ_CHECK(got == (exact ? expected : tessimar::utf8_lossy(expected)));
}

void check_optional_string(const nlohmann::json& v, const std::optional<std::string>& expected,
                           bool exact) {
    if (!expected) {
        FUZZ_CHECK(v.is_null());
        return;
    }
    check_json_string(v, *expected, exact);
}

void check_optional_u64(const nlohmann::json& v, const std::optional<std::uint64_t>& expected) {
    if (!expected) {
        FUZZ_CHECK(v.is_null());
        return;
    }
    FUZZ_CHECK(v.is_number_unsigned() || (v.is_number_integer() && *expected <= INT64_MAX));
    FUZZ_CHECK(v.get<std::uint64_t>() == *expected);
}

void check_u64(const nlohmann::json& v, std::uint64_t expected) {
    check_optional_u64(v, std::optional<std::uint64_t>(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    // Texts are valid UTF-8 wherever the runner builds them; raw bytes check
    // the serialiser's last guard.
    const bool as_text = in.ConsumeBool();
    const bool compile_shape = in.ConsumeBool();

    tessimar::PhaseOutcome o;
    o.stdout_bytes = optional_u64(in);
    o.stderr_bytes = optional_u64(in);
    o.stdout_text = text(in, as_text);
    o.stderr_text = text(in, as_text);
    const std::size_t note_count = in.ConsumeIntegralInRange<std::size_t>(0, 8);
    for (std::size_t i = 0; i < note_count; ++i)
        o.unenforced.push_back(kNotes[in.ConsumeIntegralInRange<std::size_t>(0, 7)]);
    o.output_error = optional_text(in, as_text);
    o.spawn_error = optional_text(in, as_text);
    o.signaled = in.ConsumeBool();
    o.signal = in.ConsumeIntegral<std::int32_t>();
    o.exit_code = in.ConsumeIntegral<std::int64_t>();
    o.cpu_ms = in.ConsumeIntegral<std::uint64_t>();
    o.peak_memory_kb = in.ConsumeIntegral<std::uint64_t>();
    o.timed_out = in.ConsumeBool();
    o.output_truncated = in.ConsumeBool();
    const std::uint64_t duration_ms = in.ConsumeIntegral<std::uint64_t>();
    const std::uint64_t compile_ms = in.ConsumeIntegral<std::uint64_t>();
    const std::uint64_t total_ms = in.ConsumeIntegral<std::uint64_t>();
    const std::uint64_t max_memory_mb = in.ConsumeIntegral<std::uint64_t>();
    const std::string language = text(in, as_text);
    const std::string workdir = in.ConsumeRemainingBytesAsString();  // path bytes

    const tessimar::PhaseOutcome copy = o;
    const std::string verdict = tessimar::classify_verdict(o, max_memory_mb);
    if (verdict != model_verdict(o, max_memory_mb))
        std::fprintf(stderr, "verdict %s for signaled=%d peak_memory_kb=%llu max_memory_mb=%llu\n",
                     verdict.c_str(), o.signaled, static_cast<unsigned long long>(o.peak_memory_kb),
                     static_cast<unsigned long long>(max_memory_mb));
    FUZZ_CHECK(verdict == model_verdict(o, max_memory_mb));

    const tessimar::Json report =
        compile_shape ? tessimar::build_compile_failure_report(language, std::move(o), compile_ms,
                                                               total_ms, workdir, max_memory_mb)
                      : tessimar::build_run_report(language, std::move(o), duration_ms, compile_ms,
                                                   total_ms, workdir, max_memory_mb);
    const std::string line = tessimar::to_json_line(report);

    // One line, ending in a line feed, valid UTF-8.
    FUZZ_CHECK(!line.empty() && line.back() == '\n');
    FUZZ_CHECK(line.find('\n') == line.size() - 1);
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    FUZZ_CHECK(tessimar::is_valid_utf8(line));

    const bool ok = !compile_shape && copy.exit_code == 0 && !copy.timed_out && !copy.signaled &&
                    !copy.output_error;
    std::string exit_code;
    if (copy.spawn_error) exit_code = "null";
    else if (copy.signaled) exit_code = std::to_string(-static_cast<std::int64_t>(copy.signal));
    else exit_code = std::to_string(copy.exit_code);
    std::string notes = "[";
    for (std::size_t i = 0; i < copy.unenforced.size(); ++i)
        notes += (i ? ",\"" : "\"") + std::string(copy.unenforced[i]) + "\"";
    notes += "]";

    // The whole line, members in byte order of their keys.
    const bool all_text = as_text || (tessimar::is_valid_utf8(language) &&
                                      tessimar::is_valid_utf8(copy.stdout_text) &&
                                      tessimar::is_valid_utf8(copy.stderr_text) &&
                                      tessimar::is_valid_utf8(copy.output_error.value_or("")) &&
                                      tessimar::is_valid_utf8(copy.spawn_error.value_or("")));
    if (all_text) {
        std::string expected = "{";
        expected += "\"compile_ms\":" + std::to_string(compile_ms);
        expected += ",\"cpu_ms\":" + std::to_string(copy.cpu_ms);
        expected += ",\"duration_ms\":" + std::to_string(compile_shape ? compile_ms : duration_ms);
        if (copy.spawn_error) expected += ",\"error\":" + json_quoted(*copy.spawn_error);
        expected += ",\"exit_code\":" + exit_code;
        expected += ",\"language\":" + json_quoted(language);
        expected += ",\"ok\":" + boolean(ok);
        expected += ",\"output_error\":" + optional_quoted(copy.output_error);
        expected += ",\"output_truncated\":" + boolean(copy.output_truncated);
        expected += ",\"peak_memory_kb\":" + std::to_string(copy.peak_memory_kb);
        expected += std::string(",\"phase\":") + (compile_shape ? "\"compile\"" : "\"run\"");
        expected += ",\"platform\":\"linux\"";
        expected += ",\"spawn_error\":" + optional_quoted(copy.spawn_error);
        expected += ",\"stderr\":" + json_quoted(copy.stderr_text);
        expected += ",\"stderr_bytes\":" + optional_number(copy.stderr_bytes);
        expected += ",\"stdout\":" + json_quoted(copy.stdout_text);
        expected += ",\"stdout_bytes\":" + optional_number(copy.stdout_bytes);
        expected += ",\"timed_out\":" + boolean(copy.timed_out);
        expected += ",\"total_ms\":" + std::to_string(total_ms);
        expected += ",\"unenforced\":" + notes;
        expected += ",\"verdict\":" + json_quoted(verdict);
        expected += ",\"workdir\":" + json_quoted(tessimar::utf8_lossy(workdir));
        expected += "}\n";
        if (line != expected) {
            std::fprintf(stderr, "got:      %s\nexpected: %s\n", fuzzsupport::escaped(line).c_str(),
                         fuzzsupport::escaped(expected).c_str());
        }
        FUZZ_CHECK(line == expected);
    }

    // Parsed back, every value is what went in.
    const nlohmann::json back = nlohmann::json::parse(line, nullptr, false);
    FUZZ_CHECK(!back.is_discarded());
    FUZZ_CHECK(back.is_object());
    FUZZ_CHECK(back.size() == (copy.spawn_error ? 22u : 21u));
    check_u64(back.at("compile_ms"), compile_ms);
    check_u64(back.at("cpu_ms"), copy.cpu_ms);
    check_u64(back.at("duration_ms"), compile_shape ? compile_ms : duration_ms);
    if (copy.spawn_error) {
        check_json_string(back.at("error"), *copy.spawn_error, as_text);
        FUZZ_CHECK(back.at("exit_code").is_null());
    } else {
        FUZZ_CHECK(!back.contains("error"));
        FUZZ_CHECK(back.at("exit_code").is_number_integer());
        FUZZ_CHECK(back.at("exit_code").get<std::int64_t>() ==
                   (copy.signaled ? -static_cast<std::int64_t>(copy.signal) : copy.exit_code));
    }
    check_json_string(back.at("language"), language, as_text);
    FUZZ_CHECK(back.at("ok").is_boolean() && back.at("ok").get<bool>() == ok);
    check_optional_string(back.at("output_error"), copy.output_error, as_text);
    FUZZ_CHECK(back.at("output_truncated") == copy.output_truncated);
    check_u64(back.at("peak_memory_kb"), copy.peak_memory_kb);
    FUZZ_CHECK(back.at("phase") == (compile_shape ? "compile" : "run"));
    FUZZ_CHECK(back.at("platform") == "linux");
    check_optional_string(back.at("spawn_error"), copy.spawn_error, as_text);
    check_json_string(back.at("stderr"), copy.stderr_text, as_text);
    check_optional_u64(back.at("stderr_bytes"), copy.stderr_bytes);
    check_json_string(back.at("stdout"), copy.stdout_text, as_text);
    check_optional_u64(back.at("stdout_bytes"), copy.stdout_bytes);
    FUZZ_CHECK(back.at("timed_out") == copy.timed_out);
    check_u64(back.at("total_ms"), total_ms);
    const nlohmann::json& back_notes = back.at("unenforced");
    FUZZ_CHECK(back_notes.is_array() && back_notes.size() == copy.unenforced.size());
    for (std::size_t i = 0; i < copy.unenforced.size(); ++i)
        FUZZ_CHECK(back_notes[i] == copy.unenforced[i]);
    FUZZ_CHECK(back.at("verdict") == verdict);
    check_json_string(back.at("workdir"), tessimar::utf8_lossy(workdir), true);
    return 0;
}
