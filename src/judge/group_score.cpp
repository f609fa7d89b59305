#include "judge/group_score.hpp"

#include <algorithm>
#include <string_view>

namespace tessimar {

int verdict_rank(const std::string& verdict) {
    // The judging system's own failure first, then the program's faults from
    // the one that ends it hardest to a merely wrong answer.
    static constexpr std::string_view kOrder[] = {"FAIL", "RTE", "MLE", "TLE", "OLE", "WA"};
    for (std::size_t i = 0; i < std::size(kOrder); ++i)
        if (verdict == kOrder[i]) return static_cast<int>(i);
    return static_cast<int>(std::size(kOrder));
}

double case_score(const GroupRules& rules, const std::string& verdict, std::optional<double> validator_score) {
    if (verdict != "OK") return rules.reject_score;
    return validator_score.value_or(rules.accept_score);
}

GroupResult aggregate_group(const GroupRules& rules, const std::vector<ItemResult>& items) {
    std::vector<const ItemResult*> counted;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (rules.ignore_sample && i == 0) continue;
        if (items[i].verdict != "SKIPPED") counted.push_back(&items[i]);
    }
    GroupResult result;
    if (counted.empty()) {
        // Nothing judged: an empty group accepts, one whose items were all
        // skipped is skipped.
        result.verdict = "OK";
        for (std::size_t i = rules.ignore_sample ? 1 : 0; i < items.size(); ++i)
            if (items[i].verdict == "SKIPPED") result.verdict = "SKIPPED";
        return result;
    }
    // A skipped item was never accepted: the group cannot be wholly accepted.
    bool all_accepted = true, any_accepted = false;
    const ItemResult* first_error = nullptr;
    const ItemResult* worst_error = nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (rules.ignore_sample && i == 0) continue;
        const ItemResult& item = items[i];
        if (item.verdict == "OK") {
            any_accepted = true;
            continue;
        }
        all_accepted = false;
        if (item.verdict == "SKIPPED") continue;
        if (!first_error) first_error = &item;
        if (!worst_error || verdict_rank(item.verdict) < verdict_rank(worst_error->verdict)) worst_error = &item;
    }
    if (all_accepted || rules.verdict == VerdictRule::AlwaysAccept || (rules.accept_if_any_accepted && any_accepted))
        result.verdict = "OK";
    else if (!first_error)
        result.verdict = "SKIPPED";
    else
        result.verdict = rules.verdict == VerdictRule::FirstError ? first_error->verdict : worst_error->verdict;

    switch (rules.score) {
        case ScoreRule::Sum:
        case ScoreRule::Avg: {
            double sum = 0;
            for (const ItemResult* item : counted) sum += item->score;
            result.score = rules.score == ScoreRule::Sum ? sum : sum / static_cast<double>(counted.size());
            break;
        }
        case ScoreRule::Min:
        case ScoreRule::Max: {
            result.score = counted.front()->score;
            for (const ItemResult* item : counted)
                result.score = rules.score == ScoreRule::Min ? std::min(result.score, item->score)
                                                             : std::max(result.score, item->score);
            break;
        }
        case ScoreRule::PassFail: result.score = all_accepted ? rules.max_score.value_or(0.0) : 0.0; break;
    }
    if (rules.zero_when_rejected && result.verdict != "OK") result.score = 0.0;
    if (rules.range_low) result.score = std::max(result.score, *rules.range_low);
    if (rules.range_high) result.score = std::min(result.score, *rules.range_high);
    // Scores are sums of decimal fractions: allow for their rounding.
    if (rules.max_score && result.score > *rules.max_score * (1 + 1e-9) + 1e-9) result.verdict = "FAIL";
    return result;
}

}  // namespace tessimar
