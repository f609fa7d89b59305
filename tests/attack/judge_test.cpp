// Programs that try to pass a judged run without the right output: by
// rewriting the expected answer or the checker's input while they run, by
// planting files under the checker's names, or by swapping their captured
// output for a link to someone else's file.
#include <gtest/gtest.h>

#include "attack_support.hpp"

using namespace attack;
using testing_support::report_of;
using testing_support::run_exec;
using testing_support::write_file;

namespace {

class JudgeAttack : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(gone_within(tmp.path()));
        expect_empty_dir(tmp.path());
    }
    TempDir tmp, cases, tools;
};

}  // namespace

TEST_F(JudgeAttack, RewritingTheAnswerOrTheCheckersFilesChangesNothing) {
    write_file(cases / "1.in", "x\n");
    write_file(cases / "1.out", "right\n");
    // Prints its arguments' contents on standard error and rejects.
    write_file(tools / "checker", "#!/bin/sh\necho \"$(cat \"$1\")|$(cat \"$3\")|$(cat \"$2\")\" >&2\nexit 1\n", 0755);
    const std::string program = "echo wrong\n"
                                "echo wrong > " + (cases / "1.out") + "\n"
                                "echo y > .tessimar-run/run.in\n"
                                "ln -s " + (cases / "1.out") + " .tessimar-run/_tessimar_check_answer\n"
                                "echo z > .tessimar-run/_tessimar_check_input\n";
    const json compared = report_of(run_exec(run_of("bash", program, tmp.path(), {"--cases", cases.path()})));
    EXPECT_EQ(compared.value("verdict", ""), "WA") << compared.dump();
    EXPECT_EQ(compared.at("check_message"), "line 1, token 1: expected \"right\", got \"wrong\"");

    write_file(cases / "1.out", "right\n");
    const json checked = report_of(run_exec(
        run_of("bash", program, tmp.path(), {"--cases", cases.path(), "--checker", tools / "checker"})));
    EXPECT_EQ(checked.value("verdict", ""), "WA") << checked.dump();
    EXPECT_EQ(checked.at("check_message"), "x|right|wrong");  // the copies taken before the run
}

TEST_F(JudgeAttack, OutputSwappedForALinkIsNeitherReadNorHandedToTheChecker) {
    TempDir secret;
    write_file(secret / "file", "right\n", 0600);
    write_file(tools / "answer", "right\n");
    write_file(tools / "checker", "#!/bin/sh\ntouch " + (tools / "ran") + "\nexit 0\n", 0755);
    const std::string program = "echo right\nrm .tessimar-run/run.out\nln -s " + (secret / "file") +
                                " .tessimar-run/run.out\n";
    for (const std::string option : {"--expect-file", "--checker"}) {
        SCOPED_TRACE(option);
        const std::string value = option == "--checker" ? tools / "checker" : tools / "answer";
        const json j = report_of(run_exec(run_of("bash", program, tmp.path(), {option, value})));
        EXPECT_EQ(j.value("verdict", ""), "FAIL") << j.dump();
        EXPECT_TRUE(j.at("passed").is_null());
        EXPECT_EQ(j.value("ok", true), false);
    }
    EXPECT_FALSE(testing_support::exists(tools / "ran"));
}
