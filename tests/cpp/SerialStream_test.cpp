#include "SerialStream.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "FakeDevice.h"
#include "OutputCapture.h"
#include "SystemCallLog.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::IO {
namespace {

using Testing::Bytes;
using Testing::FakeDevice;
using Testing::LowestFreeDescriptor;
using Testing::Milliseconds;
using Testing::OutputCapture;
using Testing::SystemCallLog;

const char* const kMissingPort = "/nonexistent/cu.usbmodem-ornix";

std::string ErrorLine(unsigned line, const std::string& message, int error) {
    return "[err] Library/src/SerialStream.cpp:" + std::to_string(line) + "> " + message + ": [" +
           std::to_string(error) + "] " + std::strerror(error) + "\n";
}

bool AwaitAvailable(const SerialStream& stream, int count) {
    for (int i = 0; i < 2000 && stream.Available() < count; ++i) {
        std::this_thread::sleep_for(Milliseconds(1));
    }
    return stream.Available() == count;
}

TEST(SerialStreamOpen, FailureAtConstructionReportsThePortThenTheStream) {
    OutputCapture errors(STDERR_FILENO);
    SerialStream stream(kMissingPort, true);
    EXPECT_EQ(
        errors.Finish(),
        ErrorLine(38, std::string("unable to open port '") + kMissingPort + "'", ENOENT) +
            ErrorLine(17, std::string("unable to open stream '") + kMissingPort + "'", ENOENT));
    EXPECT_EQ(stream.Available(), 0);
}

TEST(SerialStreamOpen, AbsentNameFailsLikeAMissingPath) {
    OutputCapture errors(STDERR_FILENO);
    SerialStream stream(nullptr, true);
    EXPECT_EQ(errors.Finish(), ErrorLine(38, "unable to open port '(null)'", ENOENT) +
                                   ErrorLine(17, "unable to open stream '(null)'", ENOENT));
}

TEST(SerialStreamOpen, OpenReturnsTheCodeOfThePort) {
    OutputCapture errors(STDERR_FILENO);
    SerialStream stream(kMissingPort, false);
    EXPECT_EQ(stream.Open(), -2);
    EXPECT_EQ(errors.Finish(),
              ErrorLine(38, std::string("unable to open port '") + kMissingPort + "'", ENOENT));
}

TEST(SerialStreamOpen, WithoutOpenAtOnceNothingHappens) {
    OutputCapture errors(STDERR_FILENO);
    const int free_before = LowestFreeDescriptor();
    {
        SerialStream stream(kMissingPort, false);
        EXPECT_EQ(stream.rdbuf(), nullptr);
        EXPECT_EQ(stream.Available(), 0);
        stream.Close();
        EXPECT_EQ(LowestFreeDescriptor(), free_before);
    }
    EXPECT_EQ(errors.Finish(), "");
}

TEST(SerialStreamOpen, OpensAPortQuietly) {
    FakeDevice device;
    OutputCapture errors(STDERR_FILENO);
    SerialStream stream(device.Path().c_str(), true);
    EXPECT_TRUE(stream.good());
    device.Reply({1, 2, 3});
    EXPECT_TRUE(AwaitAvailable(stream, 3));
    stream.Close();
    EXPECT_EQ(stream.Available(), 0);
    EXPECT_EQ(errors.Finish(), "");
}

TEST(SerialStreamOpen, OpensAt115200EightNOneWithDtrRaised) {
    FakeDevice device;
    SystemCallLog log;
    SerialStream stream(device.Path().c_str(), true);
    ASSERT_EQ(log.settings.size(), 1u);
    const termios& settings = log.settings[0];
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(log.modem_words, std::vector<int>{TIOCM_DTR});
}

TEST(SerialStreamOpen, ReopeningAndDestructionReleaseThePort) {
    FakeDevice device;
    const int free_before = LowestFreeDescriptor();
    {
        SerialStream stream(device.Path().c_str(), true);
        EXPECT_EQ(stream.Open(), 1);
        EXPECT_EQ(stream.Open(), 1);
        device.Reply({7});
        EXPECT_TRUE(AwaitAvailable(stream, 1));
    }
    EXPECT_EQ(LowestFreeDescriptor(), free_before);
}

// Two openings of one port would interleave their frames and read each other's answers: the
// second is refused as busy, with the usual lines, until the first has let go.
TEST(SerialStreamOpen, APortIsOpenedForOneUserAtATime) {
    FakeDevice device;
    const std::string port = device.Path();
    SerialStream first(port.c_str(), true);
    OutputCapture errors(STDERR_FILENO);
    SerialStream second(port.c_str(), true);
    EXPECT_EQ(errors.Finish(), ErrorLine(38, "unable to open port '" + port + "'", EBUSY) +
                                   ErrorLine(17, "unable to open stream '" + port + "'", EBUSY));
    first.Close();
    EXPECT_EQ(second.Open(), 1);
}

TEST(SerialStreamWrite, SendsTheWholeBlock) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str(), true);
    Bytes block(200);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(255 - i);
    }
    OutputCapture errors(STDERR_FILENO);
    SystemCallLog log;
    stream.Write(block.data(), block.size());
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(errors.Finish(), "");
    ASSERT_EQ(log.writes.size(), 1u);
    EXPECT_EQ(log.writes[0].size, 200u);
    ASSERT_TRUE(device.WaitForReceived(200, Milliseconds(2000)));
    EXPECT_EQ(device.Received(), block);
}

TEST(SerialStreamWrite, FailureOnAClosedPortIsReportedEveryTime) {
    OutputCapture quiet(STDERR_FILENO);
    SerialStream stream(kMissingPort, true);
    quiet.Finish();

    const uint8_t frame[13] = {0x2A};
    OutputCapture errors(STDERR_FILENO);
    errno = EIO;
    stream.Write(frame, sizeof frame);
    errno = EIO;
    stream.Write(frame, sizeof frame);
    const std::string line = ErrorLine(52, "unable to write '13' bytes to stream", EIO);
    EXPECT_EQ(errors.Finish(), line + line);
}

TEST(SerialStreamWrite, UnpluggedDeviceIsReportedWithTheCause) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str(), true);
    device.Hangup();
    ASSERT_TRUE(device.WaitUntilPlayed(Milliseconds(2000)));
    const uint8_t frame[13] = {0x2A};
    OutputCapture errors(STDERR_FILENO);
    stream.Write(frame, sizeof frame);
    EXPECT_EQ(errors.Finish(), ErrorLine(52, "unable to write '13' bytes to stream", EIO));
    EXPECT_TRUE(stream.bad());
}

TEST(SerialStreamRead, DeliversExactlyTheWaitingBytes) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str(), true);
    const Bytes payload = Testing::FloatBytes({1.0f, -2.5f, 3.25f, 0.0f, 1e-3f, 7.0f});
    device.Reply(payload);
    ASSERT_TRUE(AwaitAvailable(stream, 24));
    char buffer[24];
    stream.read(buffer, 24);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.gcount(), 24);
    EXPECT_EQ(Bytes(buffer, buffer + 24), payload);
}

TEST(SerialStreamRead, AfterAShortReadWritesAreSilentlyDropped) {
    FakeDevice device;
    SerialStream stream(device.Path().c_str(), true);
    device.Reply({0x2B, 0x00});
    ASSERT_TRUE(AwaitAvailable(stream, 2));
    char buffer[5];
    stream.read(buffer, 5);
    EXPECT_EQ(stream.gcount(), 2);
    EXPECT_TRUE(stream.eof());
    EXPECT_TRUE(stream.fail());

    OutputCapture errors(STDERR_FILENO);
    const uint8_t frame[1] = {0x0A};
    stream.Write(frame, 1);
    EXPECT_EQ(errors.Finish(), "");
    std::this_thread::sleep_for(Milliseconds(100));
    EXPECT_TRUE(device.Received().empty());
}

}  // namespace
}  // namespace Ornix::HardwareAPI::IO
