// The order of case files: digit runs as numbers, then byte order; a
// problem package's cases, groups and settings.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "package/problem_package.hpp"
#include "test_support.hpp"
#include "workspace/case_dir.hpp"

using namespace tessimar;

TEST(CaseOrder, DigitRunsCompareAsNumbersAndTiesFallBackToByteOrder) {
    std::vector<std::string> names = {"b.in", "10.in", "a10.in", "007.in", "7.in", "a9.in", "2.in",
                                      "99999999999999999999999.in", "100000000000000000000000.in",
                                      "1.in", "1a.in", "x.in", ".in"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return natural_less(a, b);
    });
    EXPECT_EQ(names, (std::vector<std::string>{".in", "1.in", "1a.in", "2.in", "007.in", "7.in", "10.in",
                                               "99999999999999999999999.in",
                                               "100000000000000000000000.in", "a9.in", "a10.in",
                                               "b.in", "x.in"}));
    EXPECT_FALSE(natural_less("5.in", "5.in"));
}

// A problem package's cases: byte order, groups, YAML settings, links.
namespace {

std::vector<std::string> case_names(const ProblemPackage& p) {
    std::vector<std::string> names;
    for (const PackageCase& c : p.cases) names.push_back(c.name);
    return names;
}

void add_case(const testing_support::TempDir& d, const std::string& name) {
    testing_support::write_file(d / ("data/" + name + ".in"), "1\n");
    testing_support::write_file(d / ("data/" + name + ".ans"), "2\n");
}

void make_dirs(const testing_support::TempDir& d, std::initializer_list<const char*> dirs) {
    for (const char* dir : dirs) ASSERT_EQ(mkdir((d / dir).c_str(), 0755), 0) << dir;
}

}  // namespace

TEST(PackageOrder, ByteOrderGroupsFirstSampleAndOnlySampleAndSecret) {
    testing_support::TempDir d;
    make_dirs(d, {"data", "data/sample", "data/secret", "data/secret/g", "data/secret/g/h", "data/invalid_input"});
    for (const char* c : {"sample/1", "secret/9", "secret/10", "secret/g", "secret/g/2", "secret/g/h/1",
                          "secret/G", "invalid_input/1"})
        add_case(d, c);
    testing_support::write_file(d / "data/top.in", "not judged\n");
    Result<ProblemPackage> p = read_problem_package(d.path());
    ASSERT_TRUE(p) << p.error();
    EXPECT_EQ(case_names(p.value()), (std::vector<std::string>{"sample/1", "secret/10", "secret/9", "secret/G",
                                                               "secret/g", "secret/g/2", "secret/g/h/1"}));
    const ProblemPackage& pkg = p.value();
    EXPECT_EQ(pkg.groups[pkg.cases.back().group].name, "secret/g/h");
    EXPECT_EQ(pkg.groups[*pkg.groups[pkg.cases.back().group].parent].name, "secret/g");
    EXPECT_FALSE(pkg.scoring);
    EXPECT_FALSE(pkg.validator_source);
}

TEST(PackageYaml, LimitsTypesFlagsAndTheirInheritance) {
    testing_support::TempDir d;
    make_dirs(d, {"data", "data/secret", "data/secret/a", "data/secret/b"});
    for (const char* c : {"secret/a/1", "secret/a/2", "secret/b/1"}) add_case(d, c);
    // A dated problem.yaml with legacy group files, as real packages mix them.
    testing_support::write_file(d / "problem.yaml",
                                "problem_format_version: 2023-07-draft\ntype: [scoring]\nunknown_key: 3\n"
                                "validator_flags: float_tolerance 1e-3\n"
                                "limits:\n  time_limit: 1.25\n  memory: 256\n  output: 2\n  compilation_time: 30\n");
    testing_support::write_file(d / "data/secret/testdata.yaml",
                                "on_reject: continue\noutput_validator_flags: case_sensitive\n");
    testing_support::write_file(d / "data/secret/b/testdata.yaml",
                                "accept_score: 25\ngrader_flags: first_error min\n");
    testing_support::write_file(d / "data/secret/a/2.yaml", "output_validator_args: [space_change_sensitive]\n");
    Result<ProblemPackage> p = read_problem_package(d.path());
    ASSERT_TRUE(p) << p.error();
    const ProblemPackage& pkg = p.value();
    EXPECT_TRUE(pkg.scoring);
    EXPECT_FALSE(pkg.dated_scores);  // legacy group files decide
    EXPECT_EQ(pkg.time_limit_ms, 1250u);
    EXPECT_EQ(pkg.memory_mb, 256u);
    EXPECT_EQ(pkg.output_kb, 2048u);
    EXPECT_EQ(pkg.compile_time_ms, 30000u);
    ASSERT_EQ(pkg.cases.size(), 3u);
    EXPECT_EQ(pkg.cases[0].validator_args,
              (std::vector<std::string>{"float_tolerance", "1e-3", "case_sensitive"}));
    EXPECT_EQ(pkg.cases[1].validator_args,
              (std::vector<std::string>{"float_tolerance", "1e-3", "space_change_sensitive"}));
    const GroupRules& b = pkg.groups[pkg.cases[2].group].rules;
    EXPECT_FALSE(b.stop_on_reject);  // inherited from secret
    EXPECT_EQ(b.score, ScoreRule::Min);
    EXPECT_EQ(b.verdict, VerdictRule::FirstError);
    EXPECT_DOUBLE_EQ(b.accept_score, 25);
    EXPECT_DOUBLE_EQ(pkg.groups[pkg.cases[0].group].rules.accept_score, 1);

    // A malformed value: the error names the file and the key.
    testing_support::write_file(d / "data/secret/b/testdata.yaml", "accept_score: lots\n");
    Result<ProblemPackage> bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("data/secret/b/testdata.yaml"), std::string::npos) << bad.error();
    EXPECT_NE(bad.error().find("'accept_score'"), std::string::npos) << bad.error();
    testing_support::write_file(d / "data/secret/b/testdata.yaml", "");
    testing_support::write_file(d / "problem.yaml", "type: multi-pass\n");
    bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("multi-pass"), std::string::npos) << bad.error();
    testing_support::write_file(d / "problem.yaml", "limits: [1, 2\n");
    bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("problem.yaml is not valid YAML"), std::string::npos) << bad.error();
}

TEST(PackageYaml, DatedGroupsShareTheirMaximum) {
    testing_support::TempDir d;
    make_dirs(d, {"data", "data/sample", "data/secret", "data/secret/g1", "data/secret/g2"});
    for (const char* c : {"sample/1", "secret/g1/1", "secret/g1/2", "secret/g1/3", "secret/g1/4", "secret/g2/1"})
        add_case(d, c);
    testing_support::write_file(d / "problem.yaml", "problem_format_version: 2025-09\ntype: scoring\n");
    testing_support::write_file(d / "data/secret/g1/test_group.yaml",
                                "max_score: 40\nscore_aggregation: sum\noutput_validator_args: [a, b]\n");
    testing_support::write_file(d / "data/secret/g2/test_group.yaml", "max_score: 60\n");
    testing_support::write_file(d / ".timelimit", "2.5\n");
    Result<ProblemPackage> p = read_problem_package(d.path());
    ASSERT_TRUE(p) << p.error();
    const ProblemPackage& pkg = p.value();
    EXPECT_TRUE(pkg.dated_scores);
    EXPECT_EQ(pkg.time_limit_ms, 2500u);
    const GroupRules& g1 = pkg.groups[pkg.cases[1].group].rules;
    EXPECT_EQ(g1.score, ScoreRule::Sum);
    EXPECT_DOUBLE_EQ(g1.accept_score, 10);  // 40 shared by 4 cases
    EXPECT_FALSE(g1.stop_on_reject);
    EXPECT_EQ(pkg.cases[1].validator_args, (std::vector<std::string>{"a", "b"}));
    const GroupRules& g2 = pkg.groups[pkg.cases[5].group].rules;
    EXPECT_EQ(g2.score, ScoreRule::PassFail);
    EXPECT_EQ(g2.max_score, 60.0);
    EXPECT_TRUE(g2.stop_on_reject);
}

TEST(PackageFiles, LinksInsideAreFollowedLinksOutAndMissingAnswersAreErrors) {
    testing_support::TempDir d, outside;
    make_dirs(d, {"data", "data/sample", "data/secret"});
    add_case(d, "secret/1");
    // Real packages link samples to secret cases.
    ASSERT_EQ(symlink("../secret/1.in", (d / "data/sample/1.in").c_str()), 0);
    ASSERT_EQ(symlink("../secret/1.ans", (d / "data/sample/1.ans").c_str()), 0);
    // A link outside what judging reads is not looked at.
    ASSERT_EQ(symlink("/etc/passwd", (d / "statement.pdf").c_str()), 0);
    Result<ProblemPackage> p = read_problem_package(d.path());
    ASSERT_TRUE(p) << p.error();
    ASSERT_EQ(case_names(p.value()), (std::vector<std::string>{"sample/1", "secret/1"}));
    Result<std::string> in = read_case_input(p.value(), p.value().cases[0]);
    ASSERT_TRUE(in) << in.error();
    EXPECT_EQ(in.value(), "1\n");

    testing_support::write_file(outside / "2.ans", "secret\n");
    testing_support::write_file(d / "data/secret/2.in", "1\n");
    ASSERT_EQ(symlink((outside / "2.ans").c_str(), (d / "data/secret/2.ans").c_str()), 0);
    Result<ProblemPackage> bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("data/secret/2.ans is reached through a link that leaves the package"),
              std::string::npos)
        << bad.error();
    ASSERT_EQ(unlink((d / "data/secret/2.ans").c_str()), 0);
    ASSERT_EQ(symlink("../../../x/problem.yaml", (d / "problem.yaml").c_str()), 0);
    bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("problem.yaml is reached through a link that leaves the package"), std::string::npos)
        << bad.error();
    ASSERT_EQ(unlink((d / "problem.yaml").c_str()), 0);
    bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("data/secret/2.in has no answer file"), std::string::npos) << bad.error();
    ASSERT_EQ(unlink((d / "data/secret/2.in").c_str()), 0);
    ASSERT_EQ(rename((d / "data").c_str(), (d / "tests").c_str()), 0);
    bad = read_problem_package(d.path());
    ASSERT_FALSE(bad);
    EXPECT_NE(bad.error().find("has no data/ directory"), std::string::npos) << bad.error();
}
