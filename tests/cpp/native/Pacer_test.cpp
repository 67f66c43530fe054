#include "Pacer.h"

#include <gtest/gtest.h>

namespace Ornix::Companion {
namespace {

using std::chrono::microseconds;

constexpr microseconds kPeriod(1000);

TEST(Pacer, TicksOnTimeFollowTheGrid) {
    Pacer pacer(kPeriod);
    pacer.Start(microseconds(5000));
    EXPECT_EQ(pacer.Deadline(), microseconds(5000));
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(pacer.Advance(microseconds(5000) + kPeriod * (i - 1) + microseconds(300)), 0u);
        EXPECT_EQ(pacer.Deadline(), microseconds(5000) + kPeriod * i);
    }
}

// A tick that ends late within its period leaves the next on the grid, late, and drifts nothing.
TEST(Pacer, ALateTickKeepsTheGrid) {
    Pacer pacer(kPeriod);
    pacer.Start(microseconds(0));
    EXPECT_EQ(pacer.Advance(microseconds(1900)), 0u);
    EXPECT_EQ(pacer.Deadline(), microseconds(1000));
    EXPECT_EQ(pacer.Advance(microseconds(2100)), 0u);
    EXPECT_EQ(pacer.Deadline(), microseconds(2000));
}

// After a stall the deadlines it covered are skipped and counted: the loop resumes with the one
// due most recently, and does not make the others up in a burst.
TEST(Pacer, DeadlinesPassedByMoreThanAPeriodAreSkippedAndCounted) {
    Pacer pacer(kPeriod);
    pacer.Start(microseconds(0));
    EXPECT_EQ(pacer.Advance(microseconds(3500)), 2u);
    EXPECT_EQ(pacer.Deadline(), microseconds(3000));
    EXPECT_EQ(pacer.Advance(microseconds(3200)), 0u);
    EXPECT_EQ(pacer.Deadline(), microseconds(4000));
    EXPECT_EQ(pacer.Advance(microseconds(2000000)), 1995u);
    EXPECT_EQ(pacer.Deadline(), microseconds(2000000));
}

}  // namespace
}  // namespace Ornix::Companion
