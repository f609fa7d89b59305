#include "driver/problem_run.hpp"

#include <cmath>
#include <cstdlib>

#include "catalogue/resolve.hpp"
#include "common/text.hpp"
#include "driver/case_line.hpp"
#include "driver/validator_build.hpp"
#include "judge/default_validator.hpp"
#include "judge/group_score.hpp"
#include "judge/judge.hpp"
#include "package/problem_package.hpp"
#include "phase/termination.hpp"
#include "report/run_report.hpp"

namespace tessimar {
namespace {

constexpr std::uint64_t kDefaultOutputKb = 8 * 1024;
constexpr std::uint64_t kDefaultCompileMs = 60 * 1000;

// The default validator with a case's flags.
Status set_default_validator(JudgeSettings& s, const std::vector<std::string>& words) {
    Result<DefaultValidatorFlags> flags = parse_default_validator_flags(words);
    if (!flags) return Error{flags.error()};
    s.default_validator = flags.value();
    return Status::success();
}

// An interactor's score.txt, as its exchange's report carries it.
std::optional<double> validator_score(const Json& report) {
    const auto it = report.find("score");
    if (it == report.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

// The caller's limits with the package's where the caller set none.
RunLimits package_limits(RunLimits limits, const ProblemPackage& pkg, bool timeout_given) {
    if (!timeout_given && pkg.time_limit_ms) limits = with_timeout_ms(limits, *pkg.time_limit_ms);
    if (limits.max_data_mb == 0 && pkg.memory_mb) limits.max_data_mb = *pkg.memory_mb;
    if (limits.max_output_kb == 0) limits.max_output_kb = pkg.output_kb.value_or(kDefaultOutputKb);
    if (!limits.compile_timeout_ms) limits.compile_timeout_ms = pkg.compile_time_ms.value_or(kDefaultCompileMs);
    return limits;
}

// How every case is judged: the package's validator (or interactor) built
// once, or the default validator with each case's flags.
struct PackageJudge {
    JudgeSettings base;
    std::vector<JudgeSettings> per_case;  // empty: `base` with the case's arguments
};

Result<PackageJudge> make_package_judge(const ProblemPackage& pkg, const RunLimits& limits) {
    PackageJudge j;
    if (pkg.validator_source) {
        Result<std::string> cache = validator_cache_root(limits);
        if (!cache) return Error{cache.error()};
        Result<std::string> built = build_validator(*pkg.validator_source, cache.value(), limits);
        if (!built) return Error{built.error()};
        j.base.protocol = JudgeProtocol::Kattis;
        if (pkg.interactive) j.base.interactor = built.value();
        else j.base.checker = built.value();
        return j;
    }
    // The default validator's flags, checked before anything runs.
    for (const PackageCase& c : pkg.cases) {
        JudgeSettings s;
        if (Status st = set_default_validator(s, c.validator_args); !st)
            return Error{"test case " + c.name + " of " + display_path(pkg.root.path) + ": " + st.error()};
        j.per_case.push_back(std::move(s));
    }
    return j;
}

struct GroupOutcome {
    std::string verdict;
    double score = 0.0;
};

struct ProblemState {
    const ProblemPackage& pkg;
    const CompiledProgram& program;
    const PackageJudge& judge;
    Line& line;
    bool stop_everything;  // --stop-at-first-failure
    bool first_case = true;
    bool failed = false;  // a case was not "OK"
    std::size_t passed = 0;
    std::optional<Json> top{};  // the first case that is not "OK", else the last
    std::vector<std::optional<GroupOutcome>> outcomes{};  // per group
    std::vector<Json> group_objects{};  // in judging order
};

// One case's run report, judged; its "score" is the validator's when it
// gave one.
Json case_report(ProblemState& st, const PackageCase& c, std::size_t index) {
    const PreparedRun& run = st.program.run;
    const RunLimits& limits = st.program.limits;
    const std::uint64_t compile_ms = st.program.compile.compile_ms;
    const JudgeSettings& settings = st.judge.per_case.empty() ? st.judge.base : st.judge.per_case[index];
    JudgeSettings with_args = settings;
    if (settings.checker || settings.interactor) with_args.judge_args = c.validator_args;
    const auto unstarted = [&](const std::string& message) {
        return judged_run_report(run, not_started(message, run), compile_ms, limits, with_args, nullptr);
    };
    Result<std::string> input = read_case_input(st.pkg, c);
    if (!input) return unstarted(input.error());
    Result<MemFile> answer = read_case_answer(st.pkg, c);
    if (!answer) return unstarted(answer.error());
    JudgeCase judged = prepare_judge_case(with_args, std::move(answer.value()), input.value());
    if (Status s = st.program.reset_for_case(); !s) return unstarted(s.error());
    if (with_args.interactor) return interactive_report(run, judged, compile_ms, limits, with_args);
    TimedOutcome r = run_step(run, std::move(input.value()), limits);
    return judged_run_report(run, std::move(r), compile_ms, limits, with_args, &judged);
}

void put_case(ProblemState& st, Json object) {
    if (!st.first_case) st.line.put(",");
    st.first_case = false;
    st.line.put(compact(object));
}

// A case not run: judging of its group ended, or an earlier case failed.
ItemResult skip_case(ProblemState& st, const PackageCase& c) {
    Json skipped = build_skipped_case_object(c.name, true);
    if (st.judge.base.interactor) skipped["interactor"] = nullptr;
    skipped["group"] = st.pkg.groups[c.group].name;
    skipped["score"] = nullptr;
    put_case(st, std::move(skipped));
    return ItemResult{"SKIPPED", 0.0};
}

ItemResult judge_case(ProblemState& st, std::size_t index) {
    const PackageCase& c = st.pkg.cases[index];
    const GroupRules& rules = st.pkg.groups[c.group].rules;
    Json report = case_report(st, c, index);
    if (!report.contains("passed")) add_check_result(report, CheckResult{});
    const std::optional<double> validator_given = validator_score(report);
    const std::string verdict = report.value("verdict", "");
    if (report.value("passed", Json(nullptr)) == Json(true)) ++st.passed;
    const double score = case_score(rules, verdict, validator_given);
    Json object = build_case_object(c.name, report);
    object["group"] = st.pkg.groups[c.group].name;
    object["score"] = score;
    put_case(st, std::move(object));
    // The top level: the first case that is not "OK", else the last.
    if (!st.failed) st.top = std::move(report);
    if (verdict != "OK") st.failed = true;
    return ItemResult{verdict, score};
}

bool required_groups_passed(const ProblemState& st, const PackageGroup& group) {
    for (const std::string& name : group.require_pass) {
        for (std::size_t g = 0; g < st.pkg.groups.size(); ++g) {
            if (st.pkg.groups[g].name != name) continue;
            if (!st.outcomes[g] || st.outcomes[g]->verdict != "OK") return false;
        }
    }
    return true;
}

Json group_object(const PackageGroup& group, const GroupOutcome& outcome) {
    Json o = Json::object();
    o["name"] = group.name;
    o["verdict"] = outcome.verdict;
    o["score"] = outcome.score;
    if (group.rules.max_score) o["max"] = *group.rules.max_score;
    else if (group.rules.range_high && std::isfinite(*group.rules.range_high)) o["max"] = *group.rules.range_high;
    return o;
}

// A group's cases and subgroups in order. The depth is bounded by the
// package reader (kMaxGroupDepth), so this recursion is too.
GroupOutcome judge_group(ProblemState& st, std::size_t g, bool skip) {
    const PackageGroup& group = st.pkg.groups[g];
    const std::size_t slot = st.group_objects.size();
    if (g != 0) st.group_objects.emplace_back();
    bool stop = skip || !required_groups_passed(st, group);
    std::vector<ItemResult> items;
    for (std::size_t i = 0; i < group.items.size() && st.line.ok(); ++i) {
        const GroupItem& item = group.items[i];
        // A termination signal ends the case that runs; no other starts.
        const bool halt = stop || (st.stop_everything && st.failed) || termination_signal() != 0;
        ItemResult r;
        if (item.is_case) {
            r = halt ? skip_case(st, st.pkg.cases[item.index]) : judge_case(st, item.index);
        } else {
            const GroupOutcome sub = judge_group(st, item.index, halt);
            r = ItemResult{sub.verdict, sub.score};
        }
        const bool counted = !(group.rules.ignore_sample && i == 0);
        if (counted && group.rules.stop_on_reject && r.verdict != "OK" && r.verdict != "SKIPPED") stop = true;
        items.push_back(std::move(r));
    }
    const GroupResult result = aggregate_group(group.rules, items);
    GroupOutcome outcome{result.verdict, result.score};
    st.outcomes[g] = outcome;
    if (g != 0) st.group_objects[slot] = group_object(group, outcome);
    return outcome;
}

// The package's cases of the compiled program, put on `line`, and the top
// level as the package's grader gives it.
CasesTop judge_package(const CompiledProgram& program, const ProblemPackage& pkg, const PackageJudge& judge,
                       bool stop_everything, Line& line) {
    CompileStep& compile = program.compile;
    if (compile.failure) {
        Json& report = *compile.failure;
        add_check_result(report, CheckResult{});
        report["cases_judged"] = pkg.cases.size();
        report["cases_passed"] = 0;
        report["groups"] = Json::array();
        if (pkg.scoring) report["score"] = 0;
        return CasesTop{std::move(report), true};
    }
    ProblemState st{pkg, program, judge, line, stop_everything};
    st.outcomes.resize(pkg.groups.size());
    const GroupOutcome root = judge_group(st, 0, false);
    Json top = st.top ? std::move(*st.top) : Json::object();
    top["cases_judged"] = pkg.cases.size();
    top["cases_passed"] = st.passed;
    top["groups"] = std::move(st.group_objects);
    std::string verdict = root.verdict;
    double score = root.score;
    if (pkg.dated_scores) {
        // The problem's score is that of secret; a scoring problem is
        // accepted with a score above 0.
        score = 0;
        for (std::size_t g = 0; g < pkg.groups.size(); ++g)
            if (pkg.groups[g].name == "secret" && st.outcomes[g]) score = st.outcomes[g]->score;
        if (pkg.scoring && score > 0 && verdict != "FAIL") verdict = "OK";
    }
    if (verdict == "SKIPPED") verdict = top.value("verdict", "SKIPPED");
    top["verdict"] = verdict;
    top["ok"] = verdict == "OK";
    top.erase("score");  // the deciding case's own
    if (pkg.scoring) top["score"] = score;
    return CasesTop{std::move(top), true};
}

}  // namespace

Result<std::string> validator_cache_root(const RunLimits& limits) {
    if (limits.build_cache) return join_path(*limits.build_cache, "validators");
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    std::string base;
    if (xdg && xdg[0] == '/') base = xdg;
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/') base = join_path(home, ".cache");
    else return Error{"no place for built validators: neither XDG_CACHE_HOME nor HOME is an absolute path "
                      "(or give --build-cache)"};
    return join_path(join_path(base, "tessimar-exec"), "validators");
}

bool run_problem(const std::string& language, std::string program_text, const ProblemOptions& options,
                 const RunLimits& caller_limits, const std::optional<std::string>& workdir, const LineSink& sink) {
    return write_cases_line(sink, [&](Line& line) {
        Result<LanguageSpec> spec = resolve_language(language);
        if (!spec) return CasesTop{build_setup_error_report(spec.error())};
        Result<ProblemPackage> pkg = read_problem_package(options.package_dir);
        if (!pkg) return CasesTop{build_setup_error_report(pkg.error())};
        const RunLimits limits = package_limits(caller_limits, pkg.value(), options.timeout_given);
        Result<PackageJudge> judge = make_package_judge(pkg.value(), limits);
        if (!judge) return CasesTop{build_setup_error_report(judge.error())};
        Result<RunUser> user = claim_run_user(limits);
        if (!user) return CasesTop{build_setup_error_report(user.error())};
        return compile_for_cases(spec.value(), std::move(program_text), limits, workdir, user.value(), line,
                                 [&](const CompiledProgram& program) {
                                     return judge_package(program, pkg.value(), judge.value(),
                                                          options.stop_at_first_failure, line);
                                 });
    });
}

}  // namespace tessimar
