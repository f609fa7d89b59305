// How the results of a test group's cases and subgroups make the group's
// result: its verdict and its score. Pure: values in, values out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tessimar {

// Which rejection a group reports.
enum class VerdictRule {
    WorstError,    // the most serious verdict among the items
    FirstError,    // the first item's that is not "OK"
    AlwaysAccept,  // "OK" whatever the items are
};

// How the items' scores make the group's score.
enum class ScoreRule {
    Sum,
    Avg,
    Min,
    Max,
    PassFail,  // the group's max_score when every item is accepted, else 0
};

struct GroupRules {
    bool stop_on_reject = true;  // the group ends at its first rejected item
    VerdictRule verdict = VerdictRule::WorstError;
    ScoreRule score = ScoreRule::Sum;
    bool ignore_sample = false;           // the first item is left out (verdict and score)
    bool accept_if_any_accepted = false;  // one accepted item accepts the group
    double accept_score = 1.0;            // an accepted case without a score of its own
    double reject_score = 0.0;            // a rejected case
    std::optional<double> range_low;      // the group's score is kept within these
    std::optional<double> range_high;
    std::optional<double> max_score;      // a bounded group: its score must not exceed this
    bool zero_when_rejected = false;      // a group that is not accepted scores 0
};

// One case or subgroup as the group sees it. A "SKIPPED" item does not count.
struct ItemResult {
    std::string verdict;  // "OK", "WA", "TLE", "RTE", "MLE", "OLE", "FAIL", "SKIPPED"
    double score = 0.0;
};

struct GroupResult {
    std::string verdict;  // "OK" or the rejection the rules pick; "SKIPPED" when nothing counted
    double score = 0.0;
};

// A case's score under its group's rules: the validator's own score when it
// gave one for an accepted case, else accept_score or reject_score.
double case_score(const GroupRules& rules, const std::string& verdict, std::optional<double> validator_score);

// The group's result. A group whose score exceeds its max_score is "FAIL"
// (the package's own validator or rules are at fault, not the program).
GroupResult aggregate_group(const GroupRules& rules, const std::vector<ItemResult>& items);

// How serious a rejection is: lower is worse. "OK" and unknown texts rank last.
int verdict_rank(const std::string& verdict);

}  // namespace tessimar
