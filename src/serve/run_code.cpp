#include "serve/run_code.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>

#include <nlohmann/json.hpp>

#include "catalogue/catalogue.hpp"

namespace tessimar {
namespace {

using Json = nlohmann::json;

// SandboxFusion's language names and the catalogue rows that run them:
//
// | their name   | row        |
// |--------------|------------|
// | python       | python3    |
// | cpp          | cpp        |
// | c            | c          |
// | nodejs       | node       |
// | typescript   | typescript |
// | go           | go         |
// | java         | java       |
// | php          | php        |
// | bash         | bash       |
// | rust         | rust       |
// | lua          | lua        |
// | R            | r          |
// | perl         | perl       |
// | ruby         | ruby       |
// | swift        | swift      |
// | csharp       | csharp     |
// | sql          | sqlite     |
//
// Their other names have no row here: kotlin_script (a .kts script; our
// kotlin row compiles a program with a main), scala, julia, D_ut, go_test,
// pytest, junit, jest, cuda, python_gpu, verilog, lean, racket. Names are
// matched exactly, as their clients send them ("R", not "r").
struct LanguageName {
    std::string_view theirs;
    std::string_view row;
};

constexpr LanguageName kLanguages[] = {
    {"python", "python3"}, {"cpp", "cpp"},   {"c", "c"},         {"nodejs", "node"},   {"typescript", "typescript"},
    {"go", "go"},          {"java", "java"}, {"php", "php"},     {"bash", "bash"},     {"rust", "rust"},
    {"lua", "lua"},        {"R", "r"},       {"perl", "perl"},   {"ruby", "ruby"},     {"swift", "swift"},
    {"csharp", "csharp"},  {"sql", "sqlite"},
};

// The members of a request this translation reads; any other is skipped
// while parsing (their clients send more).
constexpr std::string_view kRequestKeys[] = {"code",           "language", "stdin", "compile_timeout", "run_timeout",
                                             "memory_limit_MB", "files",    "fetch_files"};

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// What a value is, for a message that names it.
std::string what_value_is(const Json& v) {
    if (v.is_string()) return "a string";
    if (v.is_array()) return "an array";
    if (v.is_object()) return "an object";
    return dump(v);
}

std::string json_string(std::string_view text) { return dump(Json(std::string(text))); }

std::string language_names() {
    std::string out;
    for (const LanguageName& name : kLanguages) {
        if (!out.empty()) out += ", ";
        out += name.theirs;
    }
    return out;
}

bool row_compiles(std::string_view row) {
    for (const LanguageSpec& entry : catalogue())
        if (entry.name == row) return entry.compile_template.has_value();
    return false;
}

// Milliseconds for a whole number of seconds; nullopt beyond 64 bits.
std::optional<std::uint64_t> whole_seconds_to_ms(std::uint64_t seconds) {
    if (seconds > std::numeric_limits<std::uint64_t>::max() / 1000) return std::nullopt;
    return seconds * 1000;
}

// Milliseconds for a fraction of seconds, rounded to the nearest (halves up)
// in decimal: the shortest decimal form of a double reads back as that
// double, so it holds the digits the client wrote (Python's json.dumps
// writes floats that way), and 1.0005 is 1001 ms although its double lies
// just below it.
std::optional<std::uint64_t> fraction_to_ms(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::scientific);
    if (ec != std::errc()) return std::nullopt;
    // "d.ddde+XX": the digits D and the exponent of the first one.
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e = text.find('e');
    if (e == std::string_view::npos || e + 2 >= text.size()) return std::nullopt;
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits += c;
    int exponent = 0;
    const char* from = text.data() + e + 2;
    if (std::from_chars(from, text.data() + text.size(), exponent).ec != std::errc()) return std::nullopt;
    if (text[e + 1] == '-') exponent = -exponent;
    // The value in ms is D * 10^shift.
    const long shift = static_cast<long>(exponent) - static_cast<long>(digits.size()) + 4;
    const long kept = static_cast<long>(digits.size()) + shift;  // digits before the decimal point
    if (kept > 20) return std::nullopt;
    unsigned __int128 ms = 0;
    const long size = static_cast<long>(digits.size());
    for (long i = 0; i < kept; ++i)
        ms = ms * 10 + (i < size ? static_cast<unsigned>(digits[static_cast<std::size_t>(i)] - '0') : 0u);
    if (kept >= 0 && kept < size && digits[static_cast<std::size_t>(kept)] >= '5') ++ms;
    if (ms > std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    return static_cast<std::uint64_t>(ms);
}

// A timeout in seconds as the runner's milliseconds, at least 1.
std::optional<std::uint64_t> timeout_ms(const Json& v) {
    std::optional<std::uint64_t> ms;
    if (v.is_number_unsigned()) ms = whole_seconds_to_ms(v.get<std::uint64_t>());
    else if (v.is_number_float()) ms = fraction_to_ms(v.get<double>());
    if (ms && *ms == 0) ms = 1;
    return ms;
}

bool is_negative(const Json& v) {
    return (v.is_number_integer() && !v.is_number_unsigned()) || (v.is_number_float() && v.get<double>() < 0);
}

// A request's memory limit: none (-1 or 0: the service's own limit applies)
// or a number of MB.
struct DataLimit {
    std::optional<std::uint64_t> mb;
};

std::optional<DataLimit> data_limit(const Json& v) {
    if (v.is_number_unsigned()) {
        const std::uint64_t mb = v.get<std::uint64_t>();
        return mb > 0 ? DataLimit{mb} : DataLimit{};
    }
    if (v.is_number_integer()) return v.get<std::int64_t>() == -1 ? std::optional<DataLimit>(DataLimit{}) : std::nullopt;
    if (!v.is_number_float()) return std::nullopt;
    // A float with a whole value (256.0) is a whole number too.
    const double mb = v.get<double>();
    if (!std::isfinite(mb) || std::trunc(mb) != mb || mb < -1 || mb >= 18446744073709551616.0) return std::nullopt;
    if (mb <= 0) return DataLimit{};
    return DataLimit{static_cast<std::uint64_t>(mb)};
}

// Why a path of "files" or "fetch_files" cannot name a file inside the
// run's working directory; nullopt when it can.
std::optional<std::string> path_problem(std::string_view path) {
    if (path.empty()) return "is empty";
    if (path.find('\0') != std::string_view::npos) return "contains a NUL character";
    if (path.front() == '/') return "is absolute";
    std::string_view last;
    std::string_view rest = path;
    while (true) {
        const std::size_t slash = rest.find('/');
        last = rest.substr(0, slash);
        if (last == "..") return "has a '..' component, which would leave the working directory";
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (last.empty() || last == ".") return "names a directory, not a file";
    return std::nullopt;
}

// Standard base64 (RFC 4648 alphabet, padded), line breaks removed (MIME
// encoders insert them); nullopt when it is not that.
std::optional<std::string> base64_text(std::string_view value) {
    std::string text;
    text.reserve(value.size());
    for (char c : value)
        if (c != '\n' && c != '\r') text += c;
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    for (std::size_t i = 0; i + padding < text.size(); ++i) {
        const char c = text[i];
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                              c == '+' || c == '/';
        if (!alphabet) return std::nullopt;
    }
    return text;
}

RunCodeCall invalid(std::string message) {
    RunCodeCall call;
    call.kind = RunCodeCall::Kind::Invalid;
    call.text = std::move(message);
    return call;
}

// The members of their response that every answer has.
Json response(const char* status, std::string message) {
    Json r = Json::object();
    r["status"] = status;
    r["message"] = std::move(message);
    r["compile_result"] = nullptr;
    r["run_result"] = nullptr;
    r["files"] = Json::object();
    return r;
}

const Json* member(const Json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string text_member(const Json& object, const char* key) {
    const Json* m = member(object, key);
    return m != nullptr && m->is_string() ? m->get<std::string>() : std::string();
}

// A report's milliseconds as their seconds.
double seconds_member(const Json& report, const char* key) {
    const Json* m = member(report, key);
    return m != nullptr && m->is_number_unsigned() ? static_cast<double>(m->get<std::uint64_t>()) / 1000.0 : 0.0;
}

// Their command result: status "Finished", "TimeLimitExceeded" or "Error".
Json command_result(const char* status, double seconds, Json return_code, std::string out, std::string err) {
    Json c = Json::object();
    c["status"] = status;
    c["execution_time"] = seconds;
    c["return_code"] = std::move(return_code);
    c["stdout"] = std::move(out);
    c["stderr"] = std::move(err);
    return c;
}

// The exit status (the negated signal when one ended it); 1 for a failed
// program whose own status was 0 (MLE, OLE), so that a non-zero return code
// says "failed" as their clients read it.
Json return_code_of(const Json& report) {
    const Json* code = member(report, "exit_code");
    if (code == nullptr || !code->is_number_integer()) return nullptr;
    const std::string verdict = text_member(report, "verdict");
    if (code->get<std::int64_t>() == 0 && verdict != "OK" && verdict != "TLE") return 1;
    return *code;
}

// The result of the phase a report describes.
Json phase_result(Json& report) {
    const Json* timed_out = member(report, "timed_out");
    const bool tle = timed_out != nullptr && timed_out->is_boolean() && timed_out->get<bool>();
    std::string out = text_member(report, "stdout");
    std::string err = text_member(report, "stderr");
    return command_result(tle ? "TimeLimitExceeded" : "Finished", seconds_member(report, "duration_ms"),
                          return_code_of(report), std::move(out), std::move(err));
}

// A compile phase that succeeded: the report keeps only its time (its
// output is not in the report of the run that followed it).
Json finished_compile(const Json& report) {
    return command_result("Finished", seconds_member(report, "compile_ms"), 0, "", "");
}

// "line 3: why" as "why": the batch's numbering means nothing to a client.
std::string without_line_number(std::string message) {
    if (message.rfind("line ", 0) != 0) return message;
    std::size_t i = 5;
    while (i < message.size() && message[i] >= '0' && message[i] <= '9') ++i;
    if (i == 5 || message.compare(i, 2, ": ") != 0) return message;
    return message.substr(i + 2);
}

// Report members that their clients ignore and ours read.
constexpr const char* kOwnKeys[] = {"verdict",      "language",     "cpu_ms",       "peak_memory_kb",
                                    "compile_ms",   "duration_ms",  "total_ms",     "output_truncated",
                                    "stdout_bytes", "stderr_bytes", "unenforced",   "files_too_large"};

Json response_from_report(Json report, bool has_compile_phase) {
    const Json* phase = member(report, "phase");
    if (phase == nullptr || !phase->is_string()) {
        const std::string error = text_member(report, "error");
        return response("SandboxError", error.empty() ? "the runner's report has no phase" : without_line_number(error));
    }
    const bool compile_phase = phase->get<std::string>() == "compile";

    Json r = response("Failed", "");
    // The runner's own failures: the program never ran, or its output was lost.
    std::string own_failure = text_member(report, "spawn_error");
    if (own_failure.empty()) own_failure = text_member(report, "output_error");
    if (!own_failure.empty()) {
        r["status"] = "SandboxError";
        r["message"] = own_failure;
    }
    if (compile_phase) {
        r["compile_result"] = phase_result(report);
    } else {
        if (has_compile_phase) r["compile_result"] = finished_compile(report);
        r["run_result"] = phase_result(report);
        const Json* ok = member(report, "ok");
        if (own_failure.empty() && ok != nullptr && ok->is_boolean() && ok->get<bool>() &&
            text_member(report, "verdict") == "OK")
            r["status"] = "Success";
    }
    if (!own_failure.empty()) {
        const char* slot = compile_phase ? "compile_result" : "run_result";
        r[slot]["status"] = "Error";
        r[slot]["return_code"] = nullptr;
    }

    if (const Json* files = member(report, "files"); files != nullptr && files->is_object()) r["files"] = *files;
    if (const Json* big = member(report, "files_too_large"); big != nullptr && big->is_array() && !big->empty()) {
        std::string names;
        for (const Json& name : *big) {
            if (!names.empty()) names += ", ";
            names += name.is_string() ? name.get<std::string>() : dump(name);
        }
        std::string message = r["message"].get<std::string>();
        if (!message.empty()) message += "; ";
        r["message"] = message + "files not fetched, over the size limit: " + names;
    }
    for (const char* key : kOwnKeys)
        if (const auto it = report.find(key); it != report.end()) r[key] = std::move(*it);
    return r;
}

RunCodeCall translate(std::string_view body) {
    const Json::parser_callback_t only_ours = [](int depth, Json::parse_event_t event, Json& parsed) {
        if (depth != 1 || event != Json::parse_event_t::key || !parsed.is_string()) return true;
        for (std::string_view key : kRequestKeys)
            if (parsed.get_ref<const std::string&>() == key) return true;
        return false;
    };
    Json root = Json::parse(body.begin(), body.end(), only_ours, false);
    if (root.is_discarded()) return invalid("the request body is not valid JSON");
    if (!root.is_object()) return invalid("the request body must be a JSON object, not " + what_value_is(root));

    const auto code = root.find("code");
    if (code == root.end()) return invalid("missing 'code'");
    if (!code->is_string()) return invalid("'code' must be a string, not " + what_value_is(*code));
    const auto language = root.find("language");
    if (language == root.end()) return invalid("missing 'language'");
    if (!language->is_string()) return invalid("'language' must be a string, not " + what_value_is(*language));

    const std::string& name = language->get_ref<const std::string&>();
    const LanguageName* found = nullptr;
    for (const LanguageName& l : kLanguages)
        if (l.theirs == name) found = &l;
    if (found == nullptr) {
        RunCodeCall call;
        call.kind = RunCodeCall::Kind::UnknownLanguage;
        call.text = dump(response("SandboxError", "unknown language " + json_string(name) +
                                                      ": this service runs " + language_names()));
        return call;
    }

    Json batch = Json::object();
    batch["lang"] = std::string(found->row);

    if (const auto stdin_text = root.find("stdin"); stdin_text != root.end() && !stdin_text->is_null()) {
        if (!stdin_text->is_string()) return invalid("'stdin' must be a string, not " + what_value_is(*stdin_text));
        batch["stdin"] = std::move(stdin_text->get_ref<std::string&>());
    }

    for (const auto& [field, key] : {std::pair<const char*, const char*>{"run_timeout", "timeout_ms"},
                                     std::pair<const char*, const char*>{"compile_timeout", "compile_timeout_ms"}}) {
        const auto seconds = root.find(field);
        if (seconds == root.end()) continue;
        const std::optional<std::uint64_t> ms = timeout_ms(*seconds);
        if (!ms && seconds->is_number() && !is_negative(*seconds))
            return invalid(std::string("'") + field + "' is too large: " + what_value_is(*seconds) + " seconds");
        if (!ms)
            return invalid(std::string("'") + field + "' must be a number of seconds that is not negative, not " +
                           what_value_is(*seconds));
        batch[key] = *ms;
    }

    if (const auto mb = root.find("memory_limit_MB"); mb != root.end() && !mb->is_null()) {
        const std::optional<DataLimit> limit = data_limit(*mb);
        if (!limit)
            return invalid("'memory_limit_MB' must be a whole number of MB (-1: no limit of its own), not " +
                           what_value_is(*mb));
        if (limit->mb) batch["max_data_mb"] = *limit->mb;
    }

    if (const auto files = root.find("files"); files != root.end() && !files->is_null()) {
        if (!files->is_object())
            return invalid("'files' must be an object of relative paths to base64 contents, not " +
                           what_value_is(*files));
        Json out = Json::object();
        for (auto& [path, content] : files->items()) {
            if (std::optional<std::string> why = path_problem(path))
                return invalid("'files': the path " + json_string(path) + " " + *why);
            if (!content.is_string())
                return invalid("'files': the content of " + json_string(path) + " must be a base64 string, not " +
                               what_value_is(content));
            std::optional<std::string> text = base64_text(content.get_ref<const std::string&>());
            if (!text) return invalid("'files': the content of " + json_string(path) + " is not valid base64");
            out[path] = std::move(*text);
        }
        if (!out.empty()) batch["files"] = std::move(out);
    }

    if (const auto fetch = root.find("fetch_files"); fetch != root.end() && !fetch->is_null()) {
        if (!fetch->is_array())
            return invalid("'fetch_files' must be an array of relative paths, not " + what_value_is(*fetch));
        Json out = Json::array();
        for (const Json& path : *fetch) {
            if (!path.is_string())
                return invalid("'fetch_files': each path must be a string, not " + what_value_is(path));
            if (std::optional<std::string> why = path_problem(path.get_ref<const std::string&>()))
                return invalid("'fetch_files': the path " + json_string(path.get_ref<const std::string&>()) + " " + *why);
            out.push_back(path);
        }
        if (!out.empty()) batch["fetch_files"] = std::move(out);
    }

    batch["program"] = std::move(code->get_ref<std::string&>());
    RunCodeCall call;
    call.kind = RunCodeCall::Kind::Run;
    call.has_compile_phase = row_compiles(found->row);
    call.batch_request = dump(batch);
    return call;
}

}  // namespace

RunCodeCall translate_run_code(std::string_view body) {
    // The JSON library throws only on exhausted memory here; a request must
    // not end the service for it.
    try {
        return translate(body);
    } catch (const std::exception& e) {
        return invalid(std::string("cannot read the request: ") + e.what());
    }
}

std::string run_code_response(std::string_view batch_line, bool has_compile_phase) {
    try {
        Json report = Json::parse(batch_line.begin(), batch_line.end(), nullptr, false);
        if (!report.is_object()) return run_code_sandbox_error("the runner's report is not a JSON object");
        return dump(response_from_report(std::move(report), has_compile_phase));
    } catch (const std::exception& e) {
        return run_code_sandbox_error(std::string("cannot build the response: ") + e.what());
    }
}

std::string run_code_sandbox_error(std::string_view message) {
    try {
        return dump(response("SandboxError", std::string(message)));
    } catch (const std::exception&) {
        return R"({"compile_result":null,"files":{},"message":"","run_result":null,"status":"SandboxError"})";
    }
}

}  // namespace tessimar
