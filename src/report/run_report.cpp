#include "report/run_report.hpp"

#include "common/text.hpp"
#include "report/out_of_memory.hpp"

namespace tessimar {
namespace {

Json optional_u64(const std::optional<std::uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }
Json optional_text(const std::optional<std::string>& v) { return v ? Json(*v) : Json(nullptr); }

Json notes_array(const NoteList& notes) {
    Json array = Json::array();
    for (const char* note : notes) array.push_back(note);
    return array;
}

Json exit_code_value(const PhaseOutcome& o) {
    if (o.spawn_error) return nullptr;
    if (o.signaled) return -static_cast<std::int64_t>(o.signal);
    return o.exit_code;
}

bool ok_flag(const PhaseOutcome& o) {
    return o.exit_code == 0 && !o.timed_out && !o.signaled && !o.output_error;
}

Json phase_report(const std::string& language, const char* phase, PhaseOutcome&& o, bool ok,
                  std::uint64_t duration_ms, std::uint64_t compile_ms, std::uint64_t total_ms,
                  const std::string& workdir, std::uint64_t max_memory_mb) {
    Json r = Json::object();
    r["ok"] = ok;
    r["language"] = language;
    r["phase"] = phase;
    r["exit_code"] = exit_code_value(o);
    r["duration_ms"] = duration_ms;
    r["compile_ms"] = compile_ms;
    r["total_ms"] = total_ms;
    r["cpu_ms"] = o.cpu_ms;
    r["peak_memory_kb"] = o.peak_memory_kb;
    r["timed_out"] = o.timed_out;
    r["verdict"] = classify_verdict(o, max_memory_mb);
    r["unenforced"] = notes_array(o.unenforced);
    r["output_error"] = optional_text(o.output_error);
    r["output_truncated"] = o.output_truncated;
    r["stdout_bytes"] = optional_u64(o.stdout_bytes);
    r["stderr_bytes"] = optional_u64(o.stderr_bytes);
    r["platform"] = "linux";
    r["workdir"] = display_path(workdir);
    r["spawn_error"] = optional_text(o.spawn_error);
    if (o.spawn_error) r["error"] = *o.spawn_error;
    r["stdout"] = std::move(o.stdout_text);
    r["stderr"] = std::move(o.stderr_text);
    return r;
}

}  // namespace

std::string classify_verdict(const PhaseOutcome& o, std::uint64_t max_memory_mb) {
    if (o.timed_out) return "TLE";
    if (o.output_truncated) return "OLE";
    if (out_of_memory(o)) return "MLE";  // only under --max-data-mb
    if (o.signaled) {
        // Exact arithmetic: a threshold beyond 64 bits is never reached.
        const unsigned __int128 half_limit_kb = static_cast<unsigned __int128>(max_memory_mb) * 512;
        if (max_memory_mb != 0 && o.peak_memory_kb >= half_limit_kb) return "MLE";
        return "RTE";
    }
    if (o.exit_code == 0) return "OK";
    return "RTE";
}

Json build_setup_error_report(const std::string& message) {
    Json r = Json::object();
    r["error"] = message;
    r["ok"] = false;
    return r;
}

Json build_compile_failure_report(const std::string& language_name, PhaseOutcome compile_outcome,
                                  std::uint64_t compile_ms, std::uint64_t total_ms,
                                  const std::string& workdir, std::uint64_t max_memory_mb) {
    return phase_report(language_name, "compile", std::move(compile_outcome), false, compile_ms,
                        compile_ms, total_ms, workdir, max_memory_mb);
}

Json build_budget_exhausted_report(const std::string& language_name, std::uint64_t compile_ms,
                                   std::uint64_t total_ms, const std::string& workdir) {
    Json r = Json::object();
    r["ok"] = false;
    r["language"] = language_name;
    r["phase"] = "run";
    r["stdout"] = "";
    r["stderr"] = "<killed: exceeded wall-clock timeout>";
    r["exit_code"] = nullptr;
    r["duration_ms"] = 0;
    r["compile_ms"] = compile_ms;
    r["total_ms"] = total_ms;
    r["cpu_ms"] = 0;
    r["peak_memory_kb"] = 0;
    r["timed_out"] = true;
    r["verdict"] = "TLE";
    r["unenforced"] = Json::array();
    r["output_error"] = nullptr;
    r["output_truncated"] = false;
    r["stdout_bytes"] = nullptr;
    r["stderr_bytes"] = nullptr;
    r["platform"] = "linux";
    r["workdir"] = display_path(workdir);
    return r;
}

Json build_run_report(const std::string& language_name, PhaseOutcome run_outcome,
                      std::uint64_t duration_ms, std::uint64_t compile_ms, std::uint64_t total_ms,
                      const std::string& workdir, std::uint64_t max_memory_mb) {
    const bool ok = ok_flag(run_outcome) && !out_of_memory(run_outcome);
    return phase_report(language_name, "run", std::move(run_outcome), ok, duration_ms, compile_ms,
                        total_ms, workdir, max_memory_mb);
}

Json build_case_object(const std::string& name, const Json& run_report) {
    static constexpr const char* kCaseKeys[] = {
        "verdict", "ok", "exit_code", "timed_out", "duration_ms", "cpu_ms", "peak_memory_kb",
        "stdout", "stdout_bytes", "stderr", "stderr_bytes", "output_truncated", "output_error",
        "spawn_error"};
    Json c = Json::object();
    c["name"] = name;
    for (const char* key : kCaseKeys) {
        const auto it = run_report.find(key);
        c[key] = it != run_report.end() ? *it : Json(nullptr);
    }
    // The judged keys, and an interactive exchange's.
    for (const char* key : {"passed", "check_message", "score", "interactor", "transcript", "transcript_truncated"})
        if (const auto it = run_report.find(key); it != run_report.end()) c[key] = *it;
    return c;
}

void add_check_result(Json& report, const CheckResult& result) {
    report["passed"] = nullptr;
    report["check_message"] = nullptr;
    // Present only when the checker gave one: a report without it reads as before.
    if (result.score) report["score"] = *result.score;
    switch (result.verdict) {
        case CheckVerdict::NotChecked: return;
        case CheckVerdict::Passed: report["passed"] = true; return;
        case CheckVerdict::WrongAnswer:
            report["passed"] = false;
            report["verdict"] = "WA";
            break;
        case CheckVerdict::CheckerFailed: report["verdict"] = "FAIL"; break;
    }
    report["ok"] = false;
    if (result.message) report["check_message"] = *result.message;
}

Json build_skipped_case_object(const std::string& name, bool judged) {
    Json c = Json::object();
    c["name"] = name;
    c["verdict"] = "SKIPPED";
    c["ok"] = false;
    c["exit_code"] = nullptr;
    c["timed_out"] = false;
    c["duration_ms"] = 0;
    c["cpu_ms"] = 0;
    c["peak_memory_kb"] = 0;
    c["stdout"] = "";
    c["stdout_bytes"] = nullptr;
    c["stderr"] = "";
    c["stderr_bytes"] = nullptr;
    c["output_truncated"] = false;
    c["output_error"] = nullptr;
    c["spawn_error"] = nullptr;
    if (judged) {
        c["passed"] = nullptr;
        c["check_message"] = nullptr;
    }
    return c;
}

std::string to_json_line(const Json& value) {
    // Every text is valid UTF-8 by construction; replacement is a last guard
    // so that serialising can never throw.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace tessimar
