#include "port_timer.h"

#include <gtest/gtest.h>

namespace Ornix::HardwareAPI::IO {
namespace {

timeval fake_now;
timeval FakeClock() { return fake_now; }

TEST(PortTimer, CountsTruncatedMillisecondsAcrossASecondBoundary) {
    fake_now = {10, 900000};
    port_timer timer(&FakeClock);
    timer.start();
    fake_now = {11, 100999};
    EXPECT_EQ(timer.elapsed_ms(), 200);
    fake_now = {12, 900999};
    EXPECT_EQ(timer.elapsed_ms(), 2000);
    EXPECT_TRUE(timer.spent(2000));
    EXPECT_FALSE(timer.spent(2001));
}

TEST(PortTimer, ClockSetBackSpendsEveryBudget) {
    fake_now = {10, 0};
    port_timer timer(&FakeClock);
    timer.start();
    fake_now = {9, 999000};
    EXPECT_EQ(timer.elapsed_ms(), -1);
    EXPECT_TRUE(timer.spent(0xFFFFFFFFu));
}

}  // namespace
}  // namespace Ornix::HardwareAPI::IO
