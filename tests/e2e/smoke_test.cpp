#include <gtest/gtest.h>

#include "test_support.hpp"

using namespace testing_support;

TEST(Smoke, PythonHelloWorld) {
    Invocation inv;
    inv.args = {"--lang", "python3"};
    inv.input = "print('hi')\n";
    const ProcessResult r = run_exec(inv);
    ASSERT_EQ(r.exit_code(), 0) << r.err;
    const auto j = r.json();
    EXPECT_EQ(j["verdict"], "OK") << r.out;
    EXPECT_EQ(j["stdout"], "hi\n");
}
