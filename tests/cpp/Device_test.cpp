// The framing and the waiting rules, over an in-memory link with a virtual clock: every time in
// these tests is virtual, so they neither sleep nor depend on how busy the machine is.
#include "Device.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "MemoryLink.h"
#include "OutputCapture.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Testing::Bytes;
using Testing::CancelAt;
using Testing::MemoryLink;
using Testing::OutputCapture;

class FramedDevice : public Device {
public:
    explicit FramedDevice(MemoryLink& link, float timeout = 5.0f)
        : Device(&link, timeout, &MemoryLink::Clock) {}
    using Device::DiscardWaiting;
    using Device::DrainUntilQuiet;
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

TEST(DeviceFrames, FloatFrameIsTheCodeAndLittleEndianFloats) {
    MemoryLink link;
    FramedDevice device(link);
    const float values[3] = {1.0f, 2.0f, 3.0f};
    device.WriteFloatFrame(0x2A, values, 3);
    device.WriteFloatFrame(0x1C, values, 0);
    EXPECT_EQ(link.Written(), (Bytes{0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00,
                                     0x00, 0x40, 0x40, 0x1C}));
}

TEST(DeviceFrames, FramesThatCannotFitTheBufferAreNotWritten) {
    MemoryLink link;
    FramedDevice device(link);
    const float values[256] = {};
    device.WriteFloatFrame(0x2A, values, 256);
    device.WriteFloatFrame(0x2A, values, -1);
    device.WriteFrame(Device::kBufferSize + 1);
    EXPECT_TRUE(link.Written().empty());
    device.send_buffer.fill(0x55);
    device.WriteFrame(Device::kBufferSize);
    EXPECT_EQ(link.Written(), Bytes(Device::kBufferSize, 0x55));
}

TEST(DeviceFrames, EveryRequestStartsFromACleanStreamState) {
    MemoryLink link;
    FramedDevice device(link);
    link.setstate(std::ios::badbit | std::ios::failbit);  // as a failed write leaves it
    device.send_buffer[0] = 0x0A;
    device.WriteFrame(1);
    EXPECT_EQ(link.Written(), Bytes{0x0A});
}

TEST(DeviceReads, CodeThenTheWholePayloadOnceItIsThere) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive({0x2B}).Arrive({1, 2, 3}, milliseconds(100)).Arrive({4, 5}, milliseconds(200));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(5), 5);
    EXPECT_EQ(device.Received(5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_GE(link.Now(), seconds(1000) + milliseconds(200));
}

TEST(DeviceReads, EmptyPayloadNeedsNoWaitAndLongerThanTheBufferIsRefused) {
    MemoryLink link;
    FramedDevice device(link);
    EXPECT_EQ(device.ReadPayload(0), 0);
    EXPECT_EQ(link.ClockReadings(), 0);
    link.Arrive(Bytes(Device::kBufferSize + 8, 0x11));
    EXPECT_EQ(device.ReadPayload(Device::kBufferSize + 1), 0);
    EXPECT_EQ(device.ReadPayload(Device::kBufferSize), static_cast<int>(Device::kBufferSize));
}

// Whole seconds and a strict comparison: a 5-second wait ends once the clock has reached the
// sixth whole second after the second it began in, 5 to 6 seconds after it began.
TEST(DeviceTimeOut, HeaderWaitEndsAtTheSixthWholeSecond) {
    for (const microseconds began : {microseconds(0), microseconds(999900)}) {
        MemoryLink link;
        link.SetNow(seconds(1000) + began);
        FramedDevice device(link);
        OutputCapture errors(STDERR_FILENO);
        errno = EAGAIN;
        EXPECT_EQ(device.ReadHeaderCode(), 0);
        EXPECT_EQ(errors.Finish(), ErrorLine(57, "timeout waiting for header code", EAGAIN));
        EXPECT_GE(link.Now(), seconds(1006));
        EXPECT_LT(link.Now(), seconds(1006) + milliseconds(1));
    }
}

TEST(DeviceTimeOut, PayloadWaitLeavesAPartialPayloadInThePort) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive(Bytes(10, 0x22));
    OutputCapture errors(STDERR_FILENO);
    errno = 0;
    EXPECT_EQ(device.ReadPayload(24), 0);
    EXPECT_EQ(errors.Finish(), ErrorLine(86, "timeout waiting for payload", 0));
    EXPECT_EQ(link.Available(), 10);
}

TEST(DeviceTimeOut, NoTimeOutMeansWaitingForever) {
    for (const float timeout : {0.0f, -1.0f}) {
        MemoryLink link;
        FramedDevice device(link, timeout);
        link.Arrive({0x0B}, std::chrono::hours(2)).Arrive({1, 2, 3, 4}, std::chrono::hours(3));
        OutputCapture errors(STDERR_FILENO);
        EXPECT_EQ(device.ReadHeaderCode(), 0x0B);
        EXPECT_EQ(device.ReadPayload(4), 4);
        EXPECT_EQ(errors.Finish(), "");
    }
}

TEST(DeviceTimeOut, ClockSetBackEndsTheWaitAtOnce) {
    MemoryLink link;
    FramedDevice device(link);
    link.SetClockAt(seconds(1001), seconds(981));
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(device.ReadPayload(4), 0);
    const std::string text = errors.Finish();
    EXPECT_NE(text.find("Device.cpp:57> timeout waiting for header code"), std::string::npos);
    // The header wait ended as the clock went back; the payload wait then ran its own course.
    EXPECT_GE(link.Now(), seconds(981) + seconds(5));
    EXPECT_LT(link.Now(), seconds(981) + seconds(6) + milliseconds(1));
}

TEST(DeviceWaiting, FastRepliesAreSeenWithoutTheKernel) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive({0x2B}, microseconds(10)).Arrive(Bytes(24, 0x01), microseconds(15));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(24), 24);
    EXPECT_EQ(link.KernelWaits(), 0);
}

// A device driven at real-time priority does not poll: every wait goes to the kernel at once,
// however fast the device answered before.
TEST(DeviceWaiting, WithoutPollingEveryWaitSleepsInTheKernel) {
    MemoryLink link;
    FramedDevice device(link);
    device.SetPolling(false);
    link.Arrive({0x2B}, microseconds(10)).Arrive(Bytes(24, 0x01), microseconds(15));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(24), 24);
    EXPECT_EQ(link.KernelWaits(), 2);
    EXPECT_LT(link.ClockReadings(), 20);
}

TEST(DeviceWaiting, BusyPollFollowsHowFastTheDeviceAnswers) {
    MemoryLink link;
    FramedDevice device(link);
    const auto answer_after = [&](microseconds delay) {
        link.Arrive({0x2B}, delay);
        EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    };
    const auto polled_through = [&](microseconds delay) {
        const int kernel_waits = link.KernelWaits();
        answer_after(delay);
        return link.KernelWaits() == kernel_waits;
    };
    // A device that answers fast: even a slow answer, up to a quarter of a millisecond, is seen
    // without going to the kernel.
    answer_after(microseconds(40));
    EXPECT_TRUE(polled_through(microseconds(200)));

    // After an answer that took longer than three quarters of a millisecond, a wait goes to the
    // kernel at once.
    answer_after(milliseconds(2));
    const long readings = link.ClockReadings();
    answer_after(milliseconds(2));
    EXPECT_LT(link.ClockReadings() - readings, 10);

    // An answer that comes sooner, if only just, makes the next wait poll again.
    answer_after(microseconds(700));
    EXPECT_TRUE(polled_through(microseconds(200)));

    // So does the end of a silence: a timed-out wait counts as a slow answer.
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    errors.Finish();
    EXPECT_FALSE(polled_through(microseconds(200)));
}

TEST(DeviceWaiting, SlowerRepliesAreAwaitedInTheKernel) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive({0x2B}, milliseconds(5)).Arrive(Bytes(24, 0x01), milliseconds(7));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(24), 24);
    EXPECT_GE(link.KernelWaits(), 2);
    // A busy wait would read the clock once a microsecond: thousands of readings.
    EXPECT_LT(link.ClockReadings(), 400);
    EXPECT_LT(link.Now(), seconds(1000) + milliseconds(8));
}

TEST(DeviceWaiting, ASilentDeviceCostsFewWakeUps) {
    MemoryLink link;
    FramedDevice device(link);
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    errors.Finish();
    EXPECT_LT(link.KernelWaits(), 400);
    EXPECT_LT(link.ClockReadings(), 1000);
}

TEST(DeviceCancellation, FastExchangesNeverAsk) {
    MemoryLink link;
    FramedDevice device(link);
    CancelAt cancellation(link, seconds(0));
    device.SetCancellation(&cancellation);
    link.Arrive({0x2B}, milliseconds(1)).Arrive(Bytes(24, 0x01), milliseconds(1));
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(24), 24);
    EXPECT_EQ(cancellation.asked, 0);
}

TEST(DeviceCancellation, EndsTheWaitSilentlyWithinAFewMilliseconds) {
    MemoryLink link;
    FramedDevice device(link);
    CancelAt cancellation(link, seconds(1000) + milliseconds(500));
    device.SetCancellation(&cancellation);
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    EXPECT_EQ(errors.Finish(), "");
    EXPECT_LT(link.Now(), seconds(1000) + milliseconds(520));
    // Asked about every 10 ms, not at every wake-up.
    EXPECT_LE(cancellation.asked, 52);
}

TEST(DeviceCancellation, ASignalIsLookedAtAtOnce) {
    MemoryLink link;
    FramedDevice device(link);
    CancelAt cancellation(link, seconds(1000) + milliseconds(300) + microseconds(7));
    device.SetCancellation(&cancellation);
    link.SignalAt(seconds(1000) + milliseconds(300) + microseconds(7));
    EXPECT_EQ(device.ReadPayload(4), 0);
    EXPECT_LT(link.Now(), seconds(1000) + milliseconds(300) + microseconds(100));
    // Told that a signal came, for an answerer that looks only then.
    EXPECT_EQ(cancellation.signalled_asks, 1);
}

TEST(DeviceReadFailures, AreReportedWithTheirLines) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive({0x2B, 1, 2, 3});
    link.FailReads();
    OutputCapture errors(STDERR_FILENO);
    errno = EIO;
    EXPECT_EQ(device.ReadHeaderCode(), 0);
    errno = EIO;
    EXPECT_EQ(device.ReadPayload(3), 0);
    EXPECT_EQ(errors.Finish(), ErrorLine(74, "unable to read header code from stream", EIO) +
                                   ErrorLine(96, "unable to read '3' bytes from stream", EIO));
}

TEST(DeviceReadFailures, AShortReadSpoilsOnlyItsOwnCall) {
    MemoryLink link;
    FramedDevice device(link);
    char buffer[4];
    link.read(buffer, 4);
    ASSERT_TRUE(link.eof());
    link.Arrive({0x2B, 1, 2, 3});
    EXPECT_EQ(device.ReadHeaderCode(), 0x2B);
    EXPECT_EQ(device.ReadPayload(3), 3);
}

TEST(DeviceDiscarding, TakesOnlyWhatIsWaitingNow) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive(Bytes(1500, 0x33)).Arrive({0x44}, milliseconds(1));
    device.DiscardWaiting();
    EXPECT_EQ(link.Unread(), 1u);
}

TEST(DeviceDiscarding, DrainingGoesOnWhileBytesComeInBursts) {
    MemoryLink link;
    FramedDevice device(link);
    link.Arrive(Bytes(30, 0x33)).Arrive(Bytes(30, 0x34), milliseconds(20));
    link.Arrive(Bytes(30, 0x35), milliseconds(45)).Arrive({0x2B}, milliseconds(200));
    device.DrainUntilQuiet();
    EXPECT_EQ(link.Unread(), 1u);
    EXPECT_LT(link.Now(), seconds(1000) + milliseconds(100));
}

TEST(DeviceDiscarding, DrainingLastsAtMostTheTimeOut) {
    MemoryLink link;
    FramedDevice device(link, 1.0f);
    for (int i = 0; i < 300; ++i) {
        link.Arrive({0x55}, milliseconds(10 * i));
    }
    device.DrainUntilQuiet();
    EXPECT_GE(link.Now(), seconds(1001));
    EXPECT_LT(link.Now(), seconds(1002) + milliseconds(1));
    EXPECT_GT(link.Unread(), 0u);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
