#include "Device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "FakeDevice.h"
#include "OutputCapture.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using IO::SerialStream;
using Testing::Bytes;
using Testing::FakeDevice;
using Testing::Milliseconds;
using Testing::MillisecondsSince;
using Testing::OutputCapture;
using Clock = std::chrono::steady_clock;

class FramedDevice : public Device {
public:
    using Device::Device;
    using Device::receive_buffer;
    using Device::send_buffer;

    Bytes Received(size_t length) const {
        return Bytes(receive_buffer.begin(), receive_buffer.begin() + length);
    }
};

std::string ErrorLine(unsigned line, const std::string& message, int error) {
    return "[err] Library/src/Device.cpp:" + std::to_string(line) + "> " + message + ": [" +
           std::to_string(error) + "] " + std::strerror(error) + "\n";
}

// A clock that advances one second every thousand readings, so that waits can be measured in
// readings instead of real seconds.
long clock_readings = 0;
std::time_t ThousandReadingsASecond() { return 1000 + clock_readings++ / 1000; }
// A clock that races ahead: a wait that consults it would end at once.
std::time_t RacingClock() { return 1000 + 3600 * clock_readings++; }

class DeviceTest : public ::testing::Test {
protected:
    bool AwaitAvailable(int count) {
        for (int i = 0; i < 2000 && stream.Available() < count; ++i) {
            usleep(1000);
        }
        return stream.Available() == count;
    }

    FakeDevice fake;
    SerialStream stream{fake.Path().c_str(), true};
};

TEST_F(DeviceTest, FloatFrameIsTheCodeAndLittleEndianFloats) {
    FramedDevice device(&stream, 5.0f);
    const float values[3] = {1.0f, 2.0f, 3.0f};
    device.WriteFloatFrame(0x2A, values, 3);
    device.WriteFloatFrame(0x1C, values, 0);
    fake.Expect({0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40})
        .Expect({0x1C});
    EXPECT_TRUE(fake.WaitUntilPlayed(Milliseconds(2000)));
}

TEST_F(DeviceTest, FramesThatCannotFitTheBufferAreNotWritten) {
    FramedDevice device(&stream, 5.0f);
    const float values[256] = {};
    device.WriteFloatFrame(0x2A, values, 256);
    device.WriteFloatFrame(0x2A, values, -1);
    device.WriteFrame(Device::kBufferSize + 1);
    device.send_buffer.fill(0x55);
    device.WriteFrame(Device::kBufferSize);
    ASSERT_TRUE(fake.WaitForReceived(Device::kBufferSize, Milliseconds(2000)));
    usleep(50000);
    EXPECT_EQ(fake.Received(), Bytes(Device::kBufferSize, 0x55));
}

TEST_F(DeviceTest, ReadsTheCodeThenTheWholePayload) {
    FramedDevice device(&stream, 5.0f);
    fake.Reply({0x2B}).Reply({1, 2, 3}, Milliseconds(100)).Reply({4, 5}, Milliseconds(100));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(5), 5);
    EXPECT_EQ(device.Received(5), (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(DeviceTest, EmptyPayloadNeedsNoWait) {
    FramedDevice device(&stream, 5.0f);
    const auto start = Clock::now();
    EXPECT_EQ(device.ReadPayload(0), 0);
    EXPECT_LT(MillisecondsSince(start), 50);
}

TEST_F(DeviceTest, LongerPayloadsThanTheBufferAreRefused) {
    FramedDevice device(&stream, 5.0f);
    fake.Reply(Bytes(Device::kBufferSize + 8, 0x11));
    ASSERT_TRUE(AwaitAvailable(Device::kBufferSize + 8));
    EXPECT_EQ(device.ReadPayload(Device::kBufferSize + 1), 0);
    EXPECT_EQ(device.ReadPayload(Device::kBufferSize), static_cast<int>(Device::kBufferSize));
}

// Whole seconds and a strict comparison: a 5-second wait ends only once the clock has advanced
// six whole seconds past the second it began in.
TEST_F(DeviceTest, HeaderWaitEndsSixWholeSecondsAfterItBegan) {
    FramedDevice device(&stream, 5.0f, &ThousandReadingsASecond);
    clock_readings = 0;
    OutputCapture errors(STDERR_FILENO);
    errno = EAGAIN;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(errors.Finish(), ErrorLine(57, "timeout waiting for header code", EAGAIN));
    EXPECT_EQ(clock_readings, 6001);
}

TEST_F(DeviceTest, PayloadWaitLeavesAPartialPayloadInThePort) {
    FramedDevice device(&stream, 5.0f, &ThousandReadingsASecond);
    fake.Reply(Bytes(10, 0x22));
    ASSERT_TRUE(AwaitAvailable(10));
    clock_readings = 0;
    OutputCapture errors(STDERR_FILENO);
    errno = 0;
    EXPECT_EQ(device.ReadPayload(24), 0);
    EXPECT_EQ(errors.Finish(), ErrorLine(86, "timeout waiting for payload", 0));
    EXPECT_EQ(clock_readings, 6001);
    EXPECT_EQ(stream.Available(), 10);
}

TEST_F(DeviceTest, NoTimeOutMeansWaitingForever) {
    for (const float timeout : {0.0f, -1.0f}) {
        FramedDevice device(&stream, timeout, &RacingClock);
        fake.Reply({0x0B}, Milliseconds(200)).Reply({1, 2, 3, 4}, Milliseconds(200));
        OutputCapture errors(STDERR_FILENO);
        EXPECT_EQ(device.ReadHeaderCode(), 0x0B);
        EXPECT_EQ(device.ReadPayload(4), 4);
        EXPECT_EQ(errors.Finish(), "");
    }
}

TEST_F(DeviceTest, AfterAShortReadEveryReadFailsSilently) {
    FramedDevice device(&stream, 5.0f);
    char buffer[4];
    stream.read(buffer, 4);
    ASSERT_TRUE(stream.eof());
    fake.Reply({0x2B, 1, 2, 3});
    ASSERT_TRUE(AwaitAvailable(4));
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadPayload(3), 0);
    EXPECT_EQ(errors.Finish(), "");
}

TEST_F(DeviceTest, ReadFailuresWithoutEndOfFileAreReported) {
    FramedDevice device(&stream, 5.0f);
    fake.Reply({0x2B, 1, 2, 3});
    ASSERT_TRUE(AwaitAvailable(4));
    stream.setstate(std::ios::badbit);  // as a failed write leaves it
    OutputCapture errors(STDERR_FILENO);
    errno = EIO;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    errno = EIO;
    EXPECT_EQ(device.ReadPayload(3), 0);
    EXPECT_EQ(errors.Finish(), ErrorLine(74, "unable to read header code from stream", EIO) +
                                   ErrorLine(96, "unable to read '3' bytes from stream", EIO));
}

TEST_F(DeviceTest, ResynchronisingDiscardsUntilThePortIsQuiet) {
    FramedDevice device(&stream, 5.0f);
    fake.Reply(Bytes(1500, 0x33)).Reply(Bytes(20, 0x44), Milliseconds(2));
    ASSERT_TRUE(fake.WaitUntilPlayed(Milliseconds(2000)));
    const auto start = Clock::now();
    device.Resynchronise();
    EXPECT_LT(MillisecondsSince(start), 100);
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_TRUE(stream.good());
}

TEST_F(DeviceTest, ResynchronisingLastsAtMostTheTimeOut) {
    FramedDevice device(&stream, 1.0f);
    // A byte every 2 ms for longer than the time-out.
    for (int i = 0; i < 1400; ++i) {
        fake.Reply({0x55}, Milliseconds(1));
    }
    const auto start = Clock::now();
    device.Resynchronise();
    // Goes on while bytes keep coming (a scheduling gap may end it early), never past the limit.
    EXPECT_GE(MillisecondsSince(start), 700);
    EXPECT_LT(MillisecondsSince(start), 1300);
    EXPECT_TRUE(fake.WaitUntilPlayed(Milliseconds(3000)));
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
