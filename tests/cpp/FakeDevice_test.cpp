#include "FakeDevice.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "serialib.h"

namespace Ornix::Testing {
namespace {

using HardwareAPI::IO::serialib;
using Testing::MillisecondsSince;

void OpenOn(serialib& port, const FakeDevice& device) {
    ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
}

// The reply's delay counts from the request, which is sent after `sent`: a busy machine can only
// make the reply later, never sooner.
TEST(FakeDevice, RepliesOnlyAfterTheExpectedRequest) {
    FakeDevice device;
    serialib port;
    OpenOn(port, device);
    device.Expect({0x0A}).Reply({0x0B, 0x01}, Milliseconds(200));
    char buffer[2];
    EXPECT_EQ(port.receive_bytes(buffer, 2, 300, 100), 0);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(port.send_byte(0x0A), 1);
    EXPECT_EQ(port.receive_bytes(buffer, 2, 10000, 100), 2);
    EXPECT_GE(MillisecondsSince(sent), 200);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x0B, 0x01}));
    EXPECT_EQ(device.Received(), Bytes{0x0A});
}

// A seek skips what comes before its bytes; a flood then fills whatever the port reads.
TEST(FakeDevice, SeeksItsRequestAndFloodsThePort) {
    FakeDevice device;
    serialib port;
    OpenOn(port, device);
    device.Seek({0x2A, 0x2B}).Reply({0x0B}).Flood({0x99, 0x98});
    ASSERT_EQ(port.send_bytes("\x01\x2A\x2A\x2B\x02", 5), 5);
    char buffer[4000];
    ASSERT_EQ(port.receive_bytes(buffer, 1, 10000, 100), 1);
    EXPECT_EQ(buffer[0], 0x0B);
    ASSERT_EQ(port.receive_bytes(buffer, sizeof buffer, 10000, 100), 4000);
    for (size_t i = 0; i < sizeof buffer; ++i) {
        ASSERT_EQ(static_cast<uint8_t>(buffer[i]), i % 2 == 0 ? 0x99 : 0x98) << i;
    }
    EXPECT_TRUE(device.WaitUntilPlayed(Milliseconds(2000)));
}

TEST(FakeDevice, FailsTheTestOnAMismatchedRequest) {
    EXPECT_NONFATAL_FAILURE(
        {
            FakeDevice device;
            serialib port;
            OpenOn(port, device);
            device.Expect({0x01, 0x02});
            port.send_bytes("\x01\x03", 2);
            device.WaitUntilPlayed(Milliseconds(2000));
        },
        "expected 01 02, received 01 03");
}

TEST(FakeDevice, FailsTheTestOnUnplayedSteps) {
    EXPECT_NONFATAL_FAILURE(
        {
            FakeDevice device;
            device.Expect({0x01});
        },
        "1 script steps not played");
}

}  // namespace
}  // namespace Ornix::Testing
