// Inputs found by the fuzz targets under fuzz/, kept as fixed cases.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <limits>

#include "report/run_report.hpp"

using namespace tessimar;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

PhaseOutcome killed_with_peak(std::uint64_t peak_kb) {
    PhaseOutcome o;
    o.signaled = true;
    o.signal = SIGKILL;
    o.peak_memory_kb = peak_kb;
    return o;
}

}  // namespace

// fuzz_report: a memory limit so large that half of it in KiB no longer fits
// 64 bits. No 64-bit peak can reach that threshold, so a killed child is a
// runtime error, not a memory verdict; a saturated threshold of 2^64 - 1
// would wrongly let a peak of 2^64 - 1 reach it.
TEST(FuzzRegression, HalfLimitBeyond64BitsIsNeverReached) {
    const std::uint64_t two_pow_55 = std::uint64_t{1} << 55;  // x 512 = 2^64
    EXPECT_EQ(classify_verdict(killed_with_peak(kMax), two_pow_55), "RTE");
    EXPECT_EQ(classify_verdict(killed_with_peak(kMax), kMax), "RTE");
    EXPECT_EQ(classify_verdict(killed_with_peak(kMax - 1), kMax), "RTE");
    // Just below the overflow the threshold is exact: (2^55 - 1) x 512.
    const std::uint64_t largest_exact = two_pow_55 - 1;
    const std::uint64_t threshold = largest_exact * 512;
    EXPECT_EQ(classify_verdict(killed_with_peak(threshold), largest_exact), "MLE");
    EXPECT_EQ(classify_verdict(killed_with_peak(threshold - 1), largest_exact), "RTE");
    EXPECT_EQ(classify_verdict(killed_with_peak(kMax), largest_exact), "MLE");
}
