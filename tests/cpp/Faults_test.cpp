// What the library does when the device misbehaves: it is unplugged in the middle of an
// exchange, or it mixes spoiled replies with good ones. Every call must return within its
// time-outs with either the right answer or the failure value, and never leave the stream stuck.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "FakeDevice.h"
#include "Ostrel3.h"
#include "OutputCapture.h"
#include "Simulator.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using IO::SerialStream;
using Testing::Bytes;
using Testing::Concat;
using Testing::FakeDevice;
using Testing::FloatBytes;
using Testing::MillisecondsSince;
using Testing::OutputCapture;
using Testing::Simulator;
using Clock = std::chrono::steady_clock;

constexpr long kWaitLimitMs = 1200;

TEST(Unplugged, MidPayloadGivesZerosAndLaterCallsKeepFailingCleanly) {
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str(), true);
    Ostrel3 arm(&stream, Testing::kImpatientTimeout, &Testing::DoubleSpeedClock);
    const Bytes state = Concat({{0x2B}, FloatBytes({1, 2, 3, 4, 5, 6})});
    fake.Expect(Concat({{0x2A}, FloatBytes({0, 0, 1})}))
        .Reply(Bytes(state.begin(), state.begin() + 10))
        .Hangup(Testing::Milliseconds(50));

    OutputCapture errors(STDERR_FILENO);
    auto start = Clock::now();
    DeviceState result = arm.EndEffectorForce({0, 0, 1});
    EXPECT_LT(MillisecondsSince(start), kWaitLimitMs);
    EXPECT_EQ(result.position, (Vector3{}));
    for (int i = 0; i < 2; ++i) {
        start = Clock::now();
        result = arm.EndEffectorForce({0, 0, 1});
        EXPECT_LT(MillisecondsSince(start), 2 * kWaitLimitMs);
        EXPECT_EQ(result.position, (Vector3{}));
        EXPECT_EQ(arm.GetTemperature(), 0.0f);
    }
    const std::string text = errors.Finish();
    EXPECT_NE(text.find("Device.cpp:86> timeout waiting for payload"), std::string::npos);
    EXPECT_NE(text.find("SerialStream.cpp:52> unable to write '13' bytes to stream"),
              std::string::npos);
    EXPECT_NE(text.find("Device.cpp:57> timeout waiting for header code"), std::string::npos);
}

TEST(SpoiledReplies, MixedWithGoodOnesNeverStickTheStream) {
    Simulator simulator(
        {"arm", "--wrong-code-every", "3", "--garbage-every", "5", "--truncate-every", "7"});
    SerialStream stream(simulator.Port("arm").c_str(), true);
    Ostrel3 arm(&stream, Testing::kImpatientTimeout, &Testing::DoubleSpeedClock);
    OutputCapture errors(STDERR_FILENO);
    int answered = 0;
    int failed_in_a_row = 0;
    for (int i = 0; i < 40; ++i) {
        const auto start = Clock::now();
        const uint8_t status = arm.GetPowerStatus();
        EXPECT_LT(MillisecondsSince(start), kWaitLimitMs) << i;
        EXPECT_TRUE(status == 0 || status == 1) << i;
        answered += status;
        failed_in_a_row = status == 1 ? 0 : failed_in_a_row + 1;
        EXPECT_LE(failed_in_a_row, 3) << i;
    }
    errors.Finish();
    EXPECT_GE(answered, 15);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
