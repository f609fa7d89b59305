// The YAML files of a problem package, read into plain values: problem.yaml,
// a group's testdata.yaml (the legacy version) or test_group.yaml (the dated
// versions), and a case's own .yaml. Unknown keys are ignored; a key of the
// wrong shape is an error naming the file and the key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace tessimar {

// Larger YAML files are refused: these files hold a few settings.
inline constexpr std::uint64_t kMaxPackageYamlBytes = 256 * 1024;

struct ProblemYaml {
    std::string version = "legacy";  // problem_format_version
    bool scoring = false;
    bool interactive = false;
    bool multi_pass = false;
    bool submit_answer = false;
    bool custom_validation = false;           // legacy `validation: custom ...`
    std::vector<std::string> validator_flags;  // legacy `validator_flags`, split at white space
    std::optional<double> time_limit_s;       // limits.time_limit
    std::optional<double> memory_mb;          // limits.memory
    std::optional<double> output_mb;          // limits.output
    std::optional<double> compilation_time_s;  // limits.compilation_time

    bool dated() const { return version != "legacy" && version != "legacy-icpc"; }
};

// A group file's settings; absent ones are inherited from the enclosing group.
struct GroupYaml {
    std::optional<bool> on_reject_break;                   // on_reject
    std::optional<std::vector<std::string>> grader_flags;  // split at white space
    std::optional<std::vector<std::string>> output_validator_args;  // output_validator_flags or _args
    std::optional<double> accept_score;
    std::optional<double> reject_score;
    std::optional<std::pair<double, double>> range;
    bool custom_grading = false;  // grading: custom
    // max_score: set with no value for "unbounded".
    std::optional<std::optional<double>> max_score;
    std::optional<std::string> score_aggregation;  // pass-fail, sum or min
    std::vector<std::string> require_pass;
};

// `file` names the file in messages.
Result<ProblemYaml> parse_problem_yaml(std::string_view text, const std::string& file);
Result<GroupYaml> parse_group_yaml(std::string_view text, const std::string& file);
// A case's .yaml: its output_validator_args, when it sets them.
Result<std::optional<std::vector<std::string>>> parse_case_yaml(std::string_view text, const std::string& file);

// Words split at white space.
std::vector<std::string> split_words(std::string_view text);

}  // namespace tessimar
