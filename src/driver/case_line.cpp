#include "driver/case_line.hpp"

#include <exception>
#include <utility>

#include "common/text.hpp"
#include "driver/cached_build.hpp"
#include "phase/termination.hpp"
#include "workspace/case_reset.hpp"
#include "workspace/tree.hpp"
#include "workspace/work_dir.hpp"

namespace tessimar {

bool write_cases_line(const LineSink& sink, const std::function<CasesTop(Line&)>& write_cases) {
    // As for a single run: a termination signal unwinds, and the work
    // directory goes with the rest.
    const TerminationDeferred deferred;
    Line line(sink);
    bool closed = false;  // `],` written
    try {
        CasesTop top = write_cases(line);
        if (!top.cases_written) {
            line.put(to_json_line(top.report));
            return line.ok();
        }
        line.put("],");
        closed = true;
        line.put(to_json_line(top.report).substr(1));  // the members and the closing brace
    } catch (const std::exception&) {
        // Close the line as an error object, whatever part of it is out.
        constexpr const char* kOutOfMemory = "internal error: out of memory";
        const std::string tail = std::string("\"error\":\"") + kOutOfMemory + "\",\"ok\":false}\n";
        if (!line.cases_open()) line.put(to_json_line(build_setup_error_report(kOutOfMemory)));
        else if (!closed) line.put("]," + tail);
        else line.put(tail);
    }
    return line.ok();
}

Status CompiledProgram::reset_for_case() const {
    if (!scratch_id)
        return Error{"cannot replace the phase files in " + display_path(run.scratch_dir) +
                     ": its identity could not be read"};
    if (Status s = remove_phase_files(run.scratch_dir, *scratch_id, "run"); !s) return s;
    if (!created_work_dir) return Status::success();
    if (!work_id)
        return Error{"cannot empty the work directory " + display_path(run.work_dir) +
                     ": its identity could not be read"};
    return empty_work_dir(run.work_dir, *work_id);
}

CasesTop compile_for_cases(const LanguageSpec& spec, std::string program_text, const RunLimits& limits,
                           const std::optional<std::string>& workdir, const RunUser& user, Line& line,
                           const std::function<CasesTop(const CompiledProgram&)>& run_cases) {
    std::string w;
    CreatedDir guard;  // removes a created work directory before the line ends
    if (workdir) {
        w = *workdir;
    } else {
        Result<std::string> created = create_work_dir();
        if (!created) return CasesTop{build_setup_error_report(created.error())};
        w = created.value();
        guard = CreatedDir(w, dir_identity(w));
    }
    CachedBuild build = open_cached_build(spec, program_text, limits, workdir.has_value());
    Result<PreparedRun> prepared = prepare_run(spec, w, program_text, user.child());
    std::string().swap(program_text);  // written to its file
    if (!prepared) return CasesTop{build_setup_error_report(prepared.error())};
    const PreparedRun& run = prepared.value();
    std::optional<WorkDirReturn> give_back;  // a caller's work directory, after the last case
    if (workdir) give_back.emplace(user, run);

    CompileStep compile = compile_step(run, limits, &build);
    line.open_cases();
    const CompiledProgram program{run, compile, limits, dir_identity(run.scratch_dir), !workdir, guard.identity()};
    CasesTop top = run_cases(program);
    if (compile.cached) top.report["build_cached"] = true;
    return top;
}

std::string compact(const Json& value) {
    std::string text = to_json_line(value);
    text.pop_back();
    return text;
}

TimedOutcome not_started(const std::string& message, const PreparedRun& run) {
    TimedOutcome r;
    r.outcome.stderr_text = message;
    r.outcome.spawn_error = message;
    r.outcome.exit_code = -2;
    r.total_ms = ms_since(run.t0);
    return r;
}

}  // namespace tessimar
