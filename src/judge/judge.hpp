// Judging one finished run: its captured standard output, read back as the
// bytes the program wrote, against the expected answer by a comparison
// mode, or handed to a checker.
#pragma once

#include <optional>
#include <string>

#include "common/check_result.hpp"
#include "common/run_limits.hpp"
#include "judge/judge_settings.hpp"
#include "judge/mem_file.hpp"

namespace tessimar {

// The bytes one judged run is checked against, taken before the program
// starts so that it cannot change them.
struct JudgeCase {
    std::optional<MemFile> answer;  // none: a checker gets an empty file
    std::optional<MemFile> input;   // only with a checker or an interactor
    std::optional<std::string> error;  // they could not be had: the check fails
};

// `input` is the run's standard input; it is kept only when a checker or an
// interactor needs it.
JudgeCase prepare_judge_case(const JudgeSettings& settings, std::optional<MemFile> answer,
                             std::string_view input);

// Call only when the run's own verdict is "OK". The run phase's files are
// in `scratch_dir`; `python_path` is the run's.
CheckResult judge_output(const JudgeSettings& settings, const JudgeCase& judged, const std::string& scratch_dir,
                         const std::string& python_path, const RunLimits& limits);

}  // namespace tessimar
