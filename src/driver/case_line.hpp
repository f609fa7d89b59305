// What --cases and --problem share: one program compiled once and run once
// per case, and the one report line written piece by piece as the cases
// end ("cases" is the first key in byte order, so only the top level's own
// report is kept).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/dir_identity.hpp"
#include "common/result.hpp"
#include "common/run_limits.hpp"
#include "driver/run_driver.hpp"
#include "phase/run_user.hpp"
#include "report/run_report.hpp"

namespace tessimar {

// Receives the pieces of the one report line in order; false when they can
// no longer be delivered.
using LineSink = std::function<bool(std::string_view)>;

// The line being written: after the sink fails once, nothing more is sent.
class Line {
public:
    explicit Line(const LineSink& sink) : sink_(sink) {}
    void put(std::string_view piece) {
        if (ok_) ok_ = sink_(piece);
    }
    bool ok() const { return ok_; }
    // `{"cases":[` is written; the cases follow.
    void open_cases() {
        put("{\"cases\":[");
        cases_open_ = true;
    }
    bool cases_open() const { return cases_open_; }

private:
    const LineSink& sink_;
    bool ok_ = true;
    bool cases_open_ = false;
};

// The top level of the line: an error object when no case was written,
// else the report whose members follow the cases.
struct CasesTop {
    Json report;
    bool cases_written = false;  // `{"cases":[...]` is out, `],` is not
};

// Writes the whole line (ending in "\n") to `sink`: `write_cases` puts the
// cases and returns the top level. A termination signal unwinds, and the
// work directory goes with the rest; running out of memory closes the line
// as an error object, whatever part of it is out. Returns false when the
// sink failed.
bool write_cases_line(const LineSink& sink, const std::function<CasesTop(Line&)>& write_cases);

// The program compiled once, and what each case needs to start afresh.
struct CompiledProgram {
    const PreparedRun& run;
    CompileStep& compile;
    const RunLimits& limits;
    std::optional<DirIdentity> scratch_id;
    bool created_work_dir = false;  // emptied before each case
    std::optional<DirIdentity> work_id;

    // Removes what the last case left: the run phase's files and, in a work
    // directory the runner created, everything else but its own files. The
    // error names what could not be removed.
    Status reset_for_case() const;
};

// Prepares a fresh work directory (or the caller's `workdir`), compiles
// `program_text` once (from the build cache when it has it), opens the
// cases on `line` and gives the program to `run_cases`. A setup error
// before that is the top level, with no case written.
CasesTop compile_for_cases(const LanguageSpec& spec, std::string program_text, const RunLimits& limits,
                           const std::optional<std::string>& workdir, const RunUser& user, Line& line,
                           const std::function<CasesTop(const CompiledProgram&)>& run_cases);

// A JSON value as one line's piece: compact, without the line feed.
std::string compact(const Json& value);

// A case whose program was never started: reported like a start failure.
TimedOutcome not_started(const std::string& message, const PreparedRun& run);

}  // namespace tessimar
