// The command-line scan of run mode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "common/run_limits.hpp"
#include "judge/judge_settings.hpp"
#include "judge/mem_file.hpp"

namespace tessimar {

struct RunOptions {
    std::string language;                   // text (invalid UTF-8 replaced)
    RunLimits limits;
    std::string stdin_text;                 // bytes, exactly as given
    std::optional<std::string> stdin_file;  // path bytes as given
    std::optional<std::string> workdir;     // path bytes as given
    std::optional<std::string> cases;       // --cases: directory path bytes as given
    std::optional<std::string> expect_file;  // --expect-file: path bytes as given
    JudgeOptions judge;                      // --check, --float-tolerance, --ignore-case, --checker,
                                             // --judge-protocol, --judge-arg
    bool stop_at_first_failure = false;
    std::optional<std::string> files;  // --files: directory path bytes as given
    std::vector<std::string> fetch;    // --fetch: every occurrence, in order
};

enum class Mode { Run, Probe, Languages, Capabilities, Help, Version };

// Probe before languages before capabilities, wherever they stand; then
// --help before --version, where an option stands (not as the value of a
// value option); otherwise a run.
Mode select_mode(const std::vector<std::string>& args);

RunOptions scan_options(const std::vector<std::string>& args);

// Applies --stdin-file: its bytes replace stdin_text. A file that cannot be
// opened or read to its end is an error naming the path and the OS error.
Status load_stdin_file(RunOptions& options);

// The rules of --files and --fetch: a single run only (not with --cases or
// --interactor), and each --fetch path relative, not empty, without a ".."
// component. The error names the option and the value.
Status check_file_options(const RunOptions& options);

// Reads --expect-file in full, when it is given, into a file of the runner's
// own memory. A file that cannot be opened or read, or one larger than
// 64 MiB, is an error naming the path.
Result<std::optional<MemFile>> load_expect_file(const RunOptions& options);

// Reads a descriptor to its end. A read error is returned as its OS error
// text; the caller still owns the decision to read on or stop.
Result<std::string> read_all(int fd);

}  // namespace tessimar
