// The order of case files: digit runs as numbers, then byte order.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
