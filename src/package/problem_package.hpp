// A problem package turned into what the judge runs: its test cases in
// judging order, the groups they belong to with their rules, the output
// validator and its arguments, and the limits the package states. The
// package is only read; see package_files.hpp for how.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "judge/group_score.hpp"
#include "judge/mem_file.hpp"
#include "package/package_files.hpp"

namespace tessimar {

inline constexpr std::size_t kMaxPackageCases = 10000;
inline constexpr std::size_t kMaxGroupDepth = 32;  // data/ is depth 0

struct PackageCase {
    std::string name;   // its path under data/ without ".in": "secret/group1/03"
    std::size_t group;  // index into ProblemPackage::groups
    std::vector<std::string> validator_args;  // the problem's flags, then the group's or the case's own
};

// One member of a group, in judging order.
struct GroupItem {
    bool is_case;
    std::size_t index;  // into cases or groups
};

struct PackageGroup {
    std::string name;  // its path under data/; "" for data/ itself
    std::optional<std::size_t> parent;
    std::size_t depth = 0;
    GroupRules rules;
    std::vector<GroupItem> items;
    std::vector<std::string> require_pass;  // groups every case of which must be accepted first
};

struct ProblemPackage {
    PackageRoot root;
    bool scoring = false;
    bool interactive = false;
    // Scores as the dated versions define them: the problem's score is
    // the score of `secret`; otherwise that of data/.
    bool dated_scores = false;
    // The custom output validator's (or interactor's) sources, an absolute
    // path; none: the default validator.
    std::optional<std::string> validator_source;
    std::optional<std::uint64_t> time_limit_ms;
    std::optional<std::uint64_t> memory_mb;
    std::optional<std::uint64_t> output_kb;
    std::optional<std::uint64_t> compile_time_ms;
    std::vector<PackageGroup> groups;  // groups[0] is data/
    std::vector<PackageCase> cases;    // every case once, in judging order
};

// Reads the whole package up front. A package that cannot be judged as it
// is (no data/, no case, a case without its answer, a malformed YAML file, a
// link leaving the package, a multi-pass or submit-answer problem) is an
// error naming the file.
Result<ProblemPackage> read_problem_package(const std::string& dir);

// A case's input (at most 64 MiB), and its answer as a memory file.
Result<std::string> read_case_input(const ProblemPackage& package, const PackageCase& c);
Result<MemFile> read_case_answer(const ProblemPackage& package, const PackageCase& c);

}  // namespace tessimar
