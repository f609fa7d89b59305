#include "package/problem_package.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "common/text.hpp"
#include "judge/judge_settings.hpp"
#include "package/package_yaml.hpp"

namespace tessimar {
namespace {

constexpr std::size_t kMaxDirEntries = 100000;
constexpr std::uint64_t kMaxDataBytes = std::uint64_t{64} << 20;

// What the walk found in one group's directory before the rules are worked out.
struct RawGroup {
    std::string rel;  // "data/secret/group1"
    std::optional<GroupYaml> legacy;  // testdata.yaml
    std::optional<GroupYaml> dated;   // test_group.yaml
    std::string legacy_file, dated_file;
};

struct RawCase {
    std::optional<std::vector<std::string>> own_args;  // from the case's .yaml
};

struct Walk {
    ProblemPackage& pkg;
    std::vector<RawGroup> raw;
    std::vector<RawCase> raw_cases;
};

Result<std::optional<GroupYaml>> group_file(const PackageRoot& root, const std::string& rel, std::string& shown) {
    Result<EntryInfo> info = inspect_entry(root, rel);
    if (!info) return Error{info.error()};
    if (info.value().kind == EntryKind::Missing) return std::optional<GroupYaml>();
    shown = package_path(root, rel);
    if (info.value().kind != EntryKind::File) return Error{"problem package file " + shown + " is not a regular file"};
    Result<std::string> text = read_package_file(root, rel, kMaxPackageYamlBytes, "problem package file");
    if (!text) return Error{text.error()};
    Result<GroupYaml> parsed = parse_group_yaml(text.value(), shown);
    if (!parsed) return Error{parsed.error()};
    return std::optional<GroupYaml>(std::move(parsed.value()));
}

std::size_t add_group(Walk& w, const std::string& name, std::optional<std::size_t> parent, const std::string& rel) {
    PackageGroup g;
    g.name = name;
    g.parent = parent;
    g.depth = parent ? w.pkg.groups[*parent].depth + 1 : 0;
    w.pkg.groups.push_back(std::move(g));
    w.raw.push_back(RawGroup{rel, std::nullopt, std::nullopt, {}, {}});
    if (parent) w.pkg.groups[*parent].items.push_back(GroupItem{false, w.pkg.groups.size() - 1});
    return w.pkg.groups.size() - 1;
}

Status read_group_files(Walk& w, std::size_t g) {
    RawGroup& raw = w.raw[g];
    Result<std::optional<GroupYaml>> legacy = group_file(w.pkg.root, raw.rel + "/testdata.yaml", raw.legacy_file);
    if (!legacy) return Error{legacy.error()};
    raw.legacy = std::move(legacy.value());
    Result<std::optional<GroupYaml>> dated = group_file(w.pkg.root, raw.rel + "/test_group.yaml", raw.dated_file);
    if (!dated) return Error{dated.error()};
    raw.dated = std::move(dated.value());
    return Status::success();
}

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// One group's directory: its cases and subdirectories in byte order of
// their names (a case before a directory of the same name). Subdirectories
// become groups and are queued.
Status walk_group(Walk& w, std::size_t g, std::vector<std::size_t>& pending) {
    const PackageRoot& root = w.pkg.root;
    const std::string rel = w.raw[g].rel;
    if (Status s = read_group_files(w, g); !s) return s;
    Result<std::vector<std::string>> names = list_package_dir(root, rel, kMaxDirEntries);
    if (!names) return Error{names.error()};
    // (key, is directory, entry name)
    std::vector<std::tuple<std::string, bool, std::string>> members;
    for (const std::string& name : names.value()) {
        const std::string path = rel + "/" + name;
        const bool is_input = ends_with(name, ".in") && name.size() > 3;
        // Every entry of data/ is looked at: a link out of the package is an
        // error wherever it stands there.
        Result<EntryInfo> info = inspect_entry(root, path);
        if (!info) return Error{info.error()};
        const EntryKind kind = info.value().kind;
        if (is_input && kind == EntryKind::File) {
            if (!is_valid_utf8(name)) return Error{"test case file " + package_path(root, path) + " is not valid UTF-8"};
            if (info.value().size > kMaxDataBytes)
                return Error{"test case file " + package_path(root, path) + " is larger than 64 MiB"};
            members.emplace_back(name.substr(0, name.size() - 3), false, name);
        } else if (kind == EntryKind::Directory) {
            if (!is_valid_utf8(name)) return Error{"directory " + package_path(root, path) + " is not valid UTF-8"};
            members.emplace_back(name, true, name);
        }
    }
    std::sort(members.begin(), members.end());
    const std::string prefix = w.pkg.groups[g].name.empty() ? "" : w.pkg.groups[g].name + "/";
    for (const auto& [key, is_dir, entry] : members) {
        if (is_dir) {
            if (w.pkg.groups[g].depth + 1 > kMaxGroupDepth)
                return Error{"directory " + package_path(root, rel + "/" + entry) + " lies more than " +
                             std::to_string(kMaxGroupDepth) + " levels below data/"};
            pending.push_back(add_group(w, prefix + key, g, rel + "/" + entry));
            continue;
        }
        if (w.pkg.cases.size() >= kMaxPackageCases)
            return Error{"problem package " + display_path(root.path) + " holds more than " +
                         std::to_string(kMaxPackageCases) + " test cases"};
        const std::string answer = rel + "/" + key + ".ans";
        Result<EntryInfo> ans = inspect_entry(root, answer);
        if (!ans) return Error{ans.error()};
        if (ans.value().kind != EntryKind::File)
            return Error{"test case " + package_path(root, rel + "/" + entry) + " has no answer file " +
                         package_path(root, answer)};
        if (ans.value().size > kMaxDataBytes)
            return Error{"answer file " + package_path(root, answer) + " is larger than 64 MiB"};
        RawCase rc;
        const std::string yaml = rel + "/" + key + ".yaml";
        Result<EntryInfo> y = inspect_entry(root, yaml);
        if (!y) return Error{y.error()};
        if (y.value().kind == EntryKind::File) {
            Result<std::string> text = read_package_file(root, yaml, kMaxPackageYamlBytes, "problem package file");
            if (!text) return Error{text.error()};
            Result<std::optional<std::vector<std::string>>> args = parse_case_yaml(text.value(), package_path(root, yaml));
            if (!args) return Error{args.error()};
            rc.own_args = std::move(args.value());
        }
        w.pkg.cases.push_back(PackageCase{prefix + key, g, {}});
        w.raw_cases.push_back(std::move(rc));
        w.pkg.groups[g].items.push_back(GroupItem{true, w.pkg.cases.size() - 1});
    }
    return Status::success();
}

// A legacy group's rules: every setting from the nearest group that sets it.
Status legacy_rules(Walk& w, std::size_t g, std::vector<GroupYaml>& effective, bool scoring) {
    GroupYaml eff = w.pkg.groups[g].parent ? effective[*w.pkg.groups[g].parent] : GroupYaml{};
    if (const std::optional<GroupYaml>& own = w.raw[g].legacy) {
        if (own->custom_grading)
            return Error{"problem package file " + w.raw[g].legacy_file +
                         ": key 'grading': custom graders are not supported"};
        if (own->on_reject_break) eff.on_reject_break = own->on_reject_break;
        if (own->grader_flags) eff.grader_flags = own->grader_flags;
        if (own->output_validator_args) eff.output_validator_args = own->output_validator_args;
        if (own->accept_score) eff.accept_score = own->accept_score;
        if (own->reject_score) eff.reject_score = own->reject_score;
        if (own->range) eff.range = own->range;
    }
    GroupRules r;
    r.stop_on_reject = eff.on_reject_break.value_or(true);
    r.zero_when_rejected = scoring;
    for (const std::string& flag : eff.grader_flags.value_or(std::vector<std::string>{})) {
        if (flag == "worst_error") r.verdict = VerdictRule::WorstError;
        else if (flag == "first_error") r.verdict = VerdictRule::FirstError;
        else if (flag == "always_accept") r.verdict = VerdictRule::AlwaysAccept;
        else if (flag == "sum") r.score = ScoreRule::Sum;
        else if (flag == "avg") r.score = ScoreRule::Avg;
        else if (flag == "min") r.score = ScoreRule::Min;
        else if (flag == "max") r.score = ScoreRule::Max;
        else if (flag == "ignore_sample") r.ignore_sample = g == 0;
        else if (flag == "accept_if_any_accepted") r.accept_if_any_accepted = true;
        else
            return Error{"problem package group " + display_path(w.raw[g].rel) + ": key 'grader_flags': unknown flag '" +
                         flag + "'"};
    }
    if (scoring) {
        r.accept_score = eff.accept_score.value_or(1.0);
        r.reject_score = eff.reject_score.value_or(0.0);
        if (eff.range) {
            r.range_low = eff.range->first;
            r.range_high = eff.range->second;
        }
    }
    w.pkg.groups[g].rules = r;
    effective.push_back(std::move(eff));
    return Status::success();
}

// A dated group's rules. Scored groups are data/sample, data/secret and the
// groups in secret with a test_group.yaml; any other directory takes the
// rules of the scored group it lies in, so that its cases count there.
void dated_rules(Walk& w, std::size_t g, std::vector<GroupYaml>& effective, std::vector<std::size_t>& anchor,
                 bool scoring) {
    PackageGroup& group = w.pkg.groups[g];
    GroupYaml eff = group.parent ? effective[*group.parent] : GroupYaml{};
    const std::optional<GroupYaml>& own = w.raw[g].dated;
    if (own && own->output_validator_args) eff.output_validator_args = own->output_validator_args;
    if (own) group.require_pass = own->require_pass;
    effective.push_back(eff);
    GroupRules r;
    r.verdict = VerdictRule::FirstError;
    anchor.push_back(g);
    if (!scoring) {
        w.pkg.groups[g].rules = r;
        return;
    }
    const auto aggregation = [&](const char* fallback) {
        const std::string a = own && own->score_aggregation ? *own->score_aggregation : fallback;
        return a == "sum" ? ScoreRule::Sum : a == "min" ? ScoreRule::Min : ScoreRule::PassFail;
    };
    const bool in_secret = group.name.rfind("secret/", 0) == 0;
    if (g == 0) {
        r.score = ScoreRule::Sum;
    } else if (group.name == "sample") {
        r.score = ScoreRule::PassFail;
    } else if (group.name == "secret") {
        r.score = aggregation("sum");
        r.max_score = own && own->max_score ? *own->max_score : std::optional<double>(100.0);
    } else if (in_secret && group.depth == 2 && own) {
        r.score = aggregation("pass-fail");
        r.max_score = own->max_score ? *own->max_score : std::nullopt;
    } else {
        anchor.back() = anchor[*group.parent];
        r.score = w.pkg.groups[anchor.back()].rules.score;
    }
    r.stop_on_reject = r.score == ScoreRule::PassFail;
    group.rules = r;
}

// The cases below each scored group: each one's share of a bounded sum,
// the whole of a bounded minimum.
void dated_case_scores(Walk& w, const std::vector<std::size_t>& anchor) {
    std::vector<std::size_t> count(w.pkg.groups.size(), 0);
    for (const PackageCase& c : w.pkg.cases) ++count[anchor[c.group]];
    for (std::size_t g = 0; g < w.pkg.groups.size(); ++g) {
        const GroupRules& a = w.pkg.groups[anchor[g]].rules;
        double accept = 1.0;
        if (a.score == ScoreRule::Sum)
            accept = a.max_score && count[anchor[g]] > 0 ? *a.max_score / static_cast<double>(count[anchor[g]]) : 0.0;
        else if (a.score == ScoreRule::Min)
            accept = a.max_score.value_or(0.0);
        w.pkg.groups[g].rules.accept_score = accept;
    }
}

// The walk met groups in no particular order: put the cases in judging
// order (each group's items in turn, depth first) and renumber them.
void order_cases(Walk& w) {
    std::vector<std::size_t> order;
    std::vector<std::pair<std::size_t, std::size_t>> stack{{0, 0}};  // (group, next item)
    while (!stack.empty()) {
        auto& [g, next] = stack.back();
        if (next == w.pkg.groups[g].items.size()) {
            stack.pop_back();
            continue;
        }
        const GroupItem item = w.pkg.groups[g].items[next++];
        if (item.is_case) order.push_back(item.index);
        else stack.emplace_back(item.index, 0);
    }
    std::vector<std::size_t> new_index(order.size());
    std::vector<PackageCase> cases;
    std::vector<RawCase> raw;
    for (std::size_t i = 0; i < order.size(); ++i) {
        new_index[order[i]] = i;
        cases.push_back(std::move(w.pkg.cases[order[i]]));
        raw.push_back(std::move(w.raw_cases[order[i]]));
    }
    w.pkg.cases = std::move(cases);
    w.raw_cases = std::move(raw);
    for (PackageGroup& g : w.pkg.groups)
        for (GroupItem& item : g.items)
            if (item.is_case) item.index = new_index[item.index];
}

Result<ProblemYaml> read_problem_yaml(const PackageRoot& root) {
    Result<EntryInfo> info = inspect_entry(root, "problem.yaml");
    if (!info) return Error{info.error()};
    if (info.value().kind == EntryKind::Missing) return ProblemYaml{};
    Result<std::string> text = read_package_file(root, "problem.yaml", kMaxPackageYamlBytes, "problem package file");
    if (!text) return Error{text.error()};
    return parse_problem_yaml(text.value(), package_path(root, "problem.yaml"));
}

std::uint64_t ceil_u64(double v) { return static_cast<std::uint64_t>(std::ceil(std::min(v, 1e15))); }

// `.timelimit` at the root: one number of seconds.
Result<std::optional<double>> read_timelimit_file(const PackageRoot& root) {
    Result<EntryInfo> info = inspect_entry(root, ".timelimit");
    if (!info) return Error{info.error()};
    if (info.value().kind == EntryKind::Missing) return std::optional<double>();
    Result<std::string> text = read_package_file(root, ".timelimit", 64, "problem package file");
    if (!text) return Error{text.error()};
    const std::vector<std::string> w = split_words(text.value());
    const std::optional<double> v = w.size() == 1 ? parse_decimal(w[0]) : std::nullopt;
    if (!v || !(*v > 0) || *v > 1e9)
        return Error{"problem package file " + package_path(root, ".timelimit") + " must hold one number of seconds"};
    return v;
}

// The custom validator's sources: output_validator/, else output_validators/;
// a directory holding a single directory stands for that one.
Result<std::optional<std::string>> find_validator(const PackageRoot& root, const ProblemYaml& p) {
    for (const char* dir : {"output_validator", "output_validators"}) {
        Result<EntryInfo> info = inspect_entry(root, dir);
        if (!info) return Error{info.error()};
        if (info.value().kind != EntryKind::Directory) continue;
        if (!p.custom_validation && !p.interactive && !p.dated()) continue;
        std::string rel = dir;
        Result<std::vector<std::string>> names = list_package_dir(root, rel, kMaxDirEntries);
        if (!names) return Error{names.error()};
        if (names.value().size() == 1) {
            Result<EntryInfo> only = inspect_entry(root, rel + "/" + names.value()[0]);
            if (!only) return Error{only.error()};
            if (only.value().kind == EntryKind::Directory) rel += "/" + names.value()[0];
        }
        return std::optional<std::string>(join_path(root.absolute, rel));
    }
    if (p.custom_validation || p.interactive)
        return Error{"problem package " + display_path(root.path) +
                     " asks for a custom output validator but has no output_validator/ or output_validators/ directory"};
    return std::optional<std::string>();
}

}  // namespace

Result<ProblemPackage> read_problem_package(const std::string& dir) {
    Result<PackageRoot> root = open_package_root(dir);
    if (!root) return Error{root.error()};
    ProblemPackage pkg;
    pkg.root = std::move(root.value());
    const PackageRoot& r = pkg.root;

    Result<ProblemYaml> problem = read_problem_yaml(r);
    if (!problem) return Error{problem.error()};
    const ProblemYaml& p = problem.value();
    const std::string yaml_path = package_path(r, "problem.yaml");
    if (p.multi_pass) return Error{"problem package " + yaml_path + ": multi-pass problems are not judged"};
    if (p.submit_answer) return Error{"problem package " + yaml_path + ": submit-answer problems are not judged"};
    pkg.scoring = p.scoring;
    pkg.interactive = p.interactive;

    Result<std::optional<double>> timelimit = read_timelimit_file(r);
    if (!timelimit) return Error{timelimit.error()};
    if (const std::optional<double> s = p.time_limit_s ? p.time_limit_s : timelimit.value())
        pkg.time_limit_ms = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(std::min(*s, 1e9) * 1000)));
    if (p.memory_mb) pkg.memory_mb = ceil_u64(*p.memory_mb);
    if (p.output_mb) pkg.output_kb = ceil_u64(*p.output_mb * 1024);
    if (p.compilation_time_s) pkg.compile_time_ms = ceil_u64(*p.compilation_time_s * 1000);

    Result<std::optional<std::string>> validator = find_validator(r, p);
    if (!validator) return Error{validator.error()};
    pkg.validator_source = std::move(validator.value());

    Result<EntryInfo> data = inspect_entry(r, "data");
    if (!data) return Error{data.error()};
    if (data.value().kind != EntryKind::Directory)
        return Error{"problem package " + display_path(r.path) + " has no data/ directory"};

    Walk w{pkg, {}, {}};
    add_group(w, "", std::nullopt, "data");
    if (Status s = read_group_files(w, 0); !s) return Error{s.error()};
    // data/ itself holds sample and secret, in that order; nothing else of
    // it is judged.
    std::vector<std::size_t> pending;
    for (const char* top : {"sample", "secret"}) {
        const std::string rel = std::string("data/") + top;
        Result<EntryInfo> info = inspect_entry(r, rel);
        if (!info) return Error{info.error()};
        if (info.value().kind == EntryKind::Directory) pending.push_back(add_group(w, top, 0, rel));
    }
    // An explicit list, not recursion: depth costs heap, and is bounded.
    while (!pending.empty()) {
        const std::size_t g = pending.back();
        pending.pop_back();
        if (Status s = walk_group(w, g, pending); !s) return Error{s.error()};
    }
    order_cases(w);
    if (pkg.cases.empty())
        return Error{"problem package " + display_path(r.path) + " has no test case in data/sample or data/secret"};

    bool any_legacy = false, any_dated = false;
    for (const RawGroup& raw : w.raw) {
        any_legacy = any_legacy || raw.legacy.has_value();
        any_dated = any_dated || raw.dated.has_value();
    }
    const bool legacy_style = any_legacy || (!p.dated() && !any_dated);
    pkg.dated_scores = !legacy_style;
    std::vector<GroupYaml> effective;
    std::vector<std::size_t> anchor;
    // Parents come before their children in `groups`.
    for (std::size_t g = 0; g < pkg.groups.size(); ++g) {
        if (legacy_style) {
            if (Status s = legacy_rules(w, g, effective, p.scoring); !s) return Error{s.error()};
        } else {
            dated_rules(w, g, effective, anchor, p.scoring);
        }
    }
    if (!legacy_style && p.scoring) dated_case_scores(w, anchor);
    for (std::size_t i = 0; i < pkg.cases.size(); ++i) {
        PackageCase& c = pkg.cases[i];
        c.validator_args = p.validator_flags;
        const std::optional<std::vector<std::string>>& own = w.raw_cases[i].own_args;
        const std::vector<std::string> group_args =
            effective[c.group].output_validator_args.value_or(std::vector<std::string>{});
        const std::vector<std::string>& extra = own ? *own : group_args;
        c.validator_args.insert(c.validator_args.end(), extra.begin(), extra.end());
    }
    return pkg;
}

Result<std::string> read_case_input(const ProblemPackage& package, const PackageCase& c) {
    return read_package_file(package.root, "data/" + c.name + ".in", kMaxDataBytes, "test case file");
}

Result<MemFile> read_case_answer(const ProblemPackage& package, const PackageCase& c) {
    const std::string rel = "data/" + c.name + ".ans";
    Result<UniqueFd> fd = open_package_file(package.root, rel, "answer file");
    if (!fd) return Error{fd.error()};
    int err = 0;
    Result<MemFile> copy = mem_file_from_fd(fd.value().get(), kMaxDataBytes, err);
    if (!copy)
        return Error{"cannot read answer file " + package_path(package.root, rel) + ": " +
                     (err == EFBIG ? std::string("larger than 64 MiB") : copy.error())};
    return copy;
}

}  // namespace tessimar
