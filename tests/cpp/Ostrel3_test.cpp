#include "Ostrel3.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "MemoryLink.h"
#include "OutputCapture.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using IO::SerialStream;
using Testing::Bytes;
using Testing::Concat;
using Testing::FakeDevice;
using Testing::FloatBytes;
using Testing::LoadScript;
using Testing::MemoryLink;
using Testing::Milliseconds;
using Testing::MillisecondsSince;
using Testing::OutputCapture;
using Clock = std::chrono::steady_clock;

const Bytes kIdentifier = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                           0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const Bytes kState = FloatBytes({0.5f, -1.25f, 2.0f, 10.0f, -0.001f, 3.5f});
const Vector3 kStatePosition = {0.5f, -1.25f, 2.0f};
const Vector3 kStateVelocity = {10.0f, -0.001f, 3.5f};

const std::string kHeaderTimeout =
    "[err] Library/src/Device.cpp:57> timeout waiting for header code";
const std::string kPayloadTimeout = "[err] Library/src/Device.cpp:86> timeout waiting for payload";

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The exchanges with a scripted arm over an in-memory link: every time below is virtual.
class Ostrel3Test : public ::testing::Test {
protected:
    MemoryLink link;
    Ostrel3 arm{&link, Device::kReplyTimeout, &MemoryLink::Clock};
};

TEST_F(Ostrel3Test, WakeupDecodesTheDeviceInfo) {
    link.Play(LoadScript("arm-wakeup.jsonl"));
    const DeviceInfo info = arm.DeviceWakeup();
    EXPECT_EQ(info.device_id, 0x1234);
    EXPECT_EQ(info.device_model_number, Ostrel3::kModelNumber);
    EXPECT_EQ(info.hardware_version, 2);
    EXPECT_EQ(info.firmware_version, 7);
    EXPECT_EQ(Bytes(info.device_id_ext.data.begin(), info.device_id_ext.data.end()), kIdentifier);
}

TEST_F(Ostrel3Test, IdentifiersArriveInWireOrder) {
    link.Expect({0x0D, 0xD1}).Reply(Concat({{0x0D, 0xD1, 0x10}, kIdentifier}));
    EXPECT_EQ(arm.GetDeviceId().PlainHex(), "102132435465768798a9bacbdcedfe0f");
    link.Expect({0x0D, 0xD2}).Reply(Concat({{0x0D, 0xD2, 0x10}, Bytes(16, 0x01)}));
    EXPECT_EQ(arm.GetFirmwareVersion().PlainHex(), "01010101010101010101010101010101");
}

TEST_F(Ostrel3Test, StatusReadingsDecodeLittleEndianFloats) {
    link.Expect({0xAB}).Reply(Concat({{0xAB}, FloatBytes({0.25f, -3.0f, 1e6f})}));
    EXPECT_EQ(arm.GetMotorCurrents(), (Vector3{0.25f, -3.0f, 1e6f}));
    link.Expect({0x0C}).Reply(Concat({{0x0C}, FloatBytes({1.0f, 0.0f, -0.5f, 0.5f})}));
    EXPECT_EQ(arm.GetDeviceOrientation(), (Vector4{1.0f, 0.0f, -0.5f, 0.5f}));
    link.Expect({0xAC}).Reply({0xAC, 0x01});
    EXPECT_EQ(arm.GetPowerStatus(), 1);
    link.Expect({0xAA}).Reply(Concat({{0xAA}, FloatBytes({36.75f})}));
    EXPECT_EQ(arm.GetTemperature(), 36.75f);
}

TEST_F(Ostrel3Test, MotionCommandsSendThreeFloatsAndDecodeTheState) {
    struct Case {
        std::function<DeviceState(Ostrel3&, const Vector3&)> command;
        uint8_t request, response;
    };
    const Case cases[] = {
        {&Ostrel3::JointTorques, 0x1A, 0x1B},
        {&Ostrel3::JointAngles, 0x1C, 0x1B},
        {&Ostrel3::EndEffectorForce, 0x2A, 0x2B},
        {&Ostrel3::EndEffectorPosition, 0x2C, 0x2B},
    };
    for (const Case& c : cases) {
        link.Expect(
                {c.request, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40})
            .Reply(Concat({{c.response}, kState}));
        const DeviceState state = c.command(arm, {1.0f, 2.0f, 3.0f});
        EXPECT_EQ(state.position, kStatePosition) << int(c.request);
        EXPECT_EQ(state.velocity, kStateVelocity) << int(c.request);
    }
}

TEST_F(Ostrel3Test, ConfigurationValuesAreReadAndWritten) {
    link.Expect({0x0E, 0xE0}).Reply({0x0E, 0xE0, 0x07});
    EXPECT_EQ(arm.GetConfigE0(), 7);

    link.Expect({0x0E, 0xE1, 0x00}).Reply(Concat({{0x0E, 0xE1, 0x05}, FloatBytes({2.5f})}));
    const ConfigPair read = arm.GetConfigE1();
    EXPECT_EQ(read.value, 5);
    EXPECT_EQ(read.number, 2.5f);
    link.Expect(Concat({{0x0E, 0xE1, 0x01, 0x09}, FloatBytes({1.5f})}))
        .Reply(Concat({{0x0E, 0xE1, 0x09}, FloatBytes({1.5f})}));
    const ConfigPair written = arm.SetConfigE1({9, 1.5f});
    EXPECT_EQ(written.value, 9);
    EXPECT_EQ(written.number, 1.5f);

    link.Expect({0x0E, 0xE2, 0x00}).Reply({0x0E, 0xE2, 0x02});
    EXPECT_TRUE(arm.GetConfigE2());
    link.Expect({0x0E, 0xE2, 0x01, 0x01}).Reply({0x0E, 0xE2, 0x01});
    EXPECT_TRUE(arm.SetConfigE2(1));
    link.Expect({0x0E, 0xE2, 0x01, 0x00}).Reply({0x0E, 0xE2, 0x00});
    EXPECT_FALSE(arm.SetConfigE2(0));

    link.Expect({0x0E, 0xE3, 0x00}).Reply({0x0E, 0xE3, 0x2A});
    EXPECT_EQ(arm.GetConfigE3(), 0x2A);
    link.Expect({0x0E, 0xE3, 0x01, 0x05}).Reply({0x0E, 0xE3, 0x05});
    EXPECT_EQ(arm.SetConfigE3(5), 5);
}

TEST_F(Ostrel3Test, SendOnlyOperationsWriteTheirFrames) {
    const Bytes zeros(12, 0x00);
    const Bytes ones = FloatBytes({1.0f, 1.0f, 1.0f});
    const std::pair<std::function<void(Ostrel3&)>, Bytes> cases[] = {
        {[](Ostrel3& a) { a.SendDeviceWakeup(); }, {0x0A}},
        {[](Ostrel3& a) { a.RequestDeviceId(); }, {0x0D, 0xD1}},
        {[](Ostrel3& a) { a.RequestFirmwareVersion(); }, {0x0D, 0xD2}},
        {[](Ostrel3& a) { a.RequestCurrent(); }, {0xAB}},
        {[](Ostrel3& a) { a.RequestDeviceOrientation(); }, {0x0C}},
        {[](Ostrel3& a) { a.RequestPowerStatus(); }, {0xAC}},
        {[](Ostrel3& a) { a.RequestTemperature(); }, {0xAA}},
        {[](Ostrel3& a) { a.SendJointTorques(); }, Concat({{0x1A}, zeros})},
        {[](Ostrel3& a) { a.SendAngle(); }, Concat({{0x1C}, zeros})},
        {[](Ostrel3& a) { a.SendForce(); }, Concat({{0x2A}, zeros})},
        {[](Ostrel3& a) { a.SendPosition(); }, Concat({{0x2C}, zeros})},
        {[](Ostrel3& a) { a.SendJointTorques({1, 1, 1}); }, Concat({{0x1A}, ones})},
        {[](Ostrel3& a) { a.SendAngle({1, 1, 1}); }, Concat({{0x1C}, ones})},
        {[](Ostrel3& a) { a.SendForce({1, 1, 1}); }, Concat({{0x2A}, ones})},
        {[](Ostrel3& a) { a.SendPosition({1, 1, 1}); }, Concat({{0x2C}, ones})},
        {[](Ostrel3& a) { a.RequestConfigE0(); }, {0x0E, 0xE0}},
        {[](Ostrel3& a) { a.RequestConfigE1(); }, {0x0E, 0xE1, 0x00}},
        {[](Ostrel3& a) { a.RequestConfigE1(3, -2.0f); },
         Concat({{0x0E, 0xE1, 0x01, 0x03}, FloatBytes({-2.0f})})},
        {[](Ostrel3& a) { a.RequestConfigE2(); }, {0x0E, 0xE2, 0x00}},
        {[](Ostrel3& a) { a.RequestConfigE2(1); }, {0x0E, 0xE2, 0x01, 0x01}},
        {[](Ostrel3& a) { a.RequestConfigE3(); }, {0x0E, 0xE3, 0x00}},
        {[](Ostrel3& a) { a.RequestConfigE3(0xFF); }, {0x0E, 0xE3, 0x01, 0xFF}},
    };
    for (const auto& [send, frame] : cases) {
        link.Expect(frame);
        send(arm);
    }
    EXPECT_TRUE(link.Played());
}

TEST_F(Ostrel3Test, ReceiveOnlyOperationsFillTheOutputs) {
    link.Expect(Concat({{0x1A}, FloatBytes({0.1f, 0.2f, 0.3f})})).Reply(Concat({{0x1B}, kState}));
    arm.SendJointTorques({0.1f, 0.2f, 0.3f});
    Vector3 position{}, velocity{};
    EXPECT_EQ(arm.ReceiveJointState(position, velocity), 24);
    EXPECT_EQ(position, kStatePosition);
    EXPECT_EQ(velocity, kStateVelocity);

    link.Expect({0x0A}).Reply(Concat({{0x0B, 0x01, 0x00, 0x04, 0x01, 0x01}, kIdentifier}));
    arm.SendDeviceWakeup();
    EXPECT_EQ(arm.ReceiveDeviceInfo(), 21);

    link.Reply(Concat({{0xAB}, FloatBytes({1, 2, 3})}));
    EXPECT_EQ(arm.ReceiveCurrent(), 12);
    link.Reply({0x0E, 0xE2, 0x02});
    bool flag = false;
    EXPECT_EQ(arm.ReceiveConfigE2(flag), 1);
    EXPECT_TRUE(flag);
    link.Expect({0x0E, 0xE0}).Reply({0x0E, 0xE0, 0x07});
    arm.RequestConfigE0();
    uint8_t e0 = 0;
    EXPECT_EQ(arm.ReceiveConfigE0(e0), 1);
    EXPECT_EQ(e0, 7);
    // Everything was consumed: the next exchange is in step.
    link.Expect({0xAC}).Reply({0xAC, 0x03});
    EXPECT_EQ(arm.GetPowerStatus(), 3);
}

TEST_F(Ostrel3Test, FailedReceiveLeavesTheOutputsAsTheyWere) {
    link.Expect({0x0A}).Reply(Concat({{0x0D, 0xD1, 0x10}, kIdentifier}));
    arm.SendDeviceWakeup();
    uint16_t device_id = 0xBEEF;
    uint8_t model = 9, hardware = 9, firmware = 9;
    UUID identifier;
    identifier.data.fill(0x77);
    EXPECT_EQ(arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, identifier), -1);
    EXPECT_EQ(device_id, 0xBEEF);
    EXPECT_EQ(model, 9);
    EXPECT_EQ(hardware, 9);
    EXPECT_EQ(firmware, 9);
    EXPECT_EQ(identifier.PlainHex(), std::string(32, '7'));

    link.Reply(Concat({{0x2B}, kState}));
    Vector3 position = {7, 7, 7}, velocity = {8, 8, 8};
    EXPECT_EQ(arm.ReceiveJointState(position, velocity), -1);
    EXPECT_EQ(position, (Vector3{7, 7, 7}));
    EXPECT_EQ(velocity, (Vector3{8, 8, 8}));
}

TEST_F(Ostrel3Test, WrongCodeFailsQuietlyAndTheNextExchangeIsInStep) {
    link.Expect(Concat({{0x1A}, FloatBytes({1, 2, 3})})).Reply(Concat({{0x2B}, kState}));
    OutputCapture errors(STDERR_FILENO);
    const auto start = link.Now();
    const DeviceState state = arm.JointTorques({1, 2, 3});
    // Its known length skips the wrong reply without waiting for a time-out.
    EXPECT_LT(link.Now() - start, std::chrono::seconds(1));
    EXPECT_EQ(state.position, (Vector3{}));
    EXPECT_EQ(state.velocity, (Vector3{}));
    EXPECT_EQ(errors.Finish(), "");

    link.Expect({0xAA}).Reply(Concat({{0xAA}, FloatBytes({21.5f})}));
    EXPECT_EQ(arm.GetTemperature(), 21.5f);
}

TEST_F(Ostrel3Test, WrongSubCodeOrLengthByteGivesTheZeroIdentifier) {
    link.Expect({0x0D, 0xD1}).Reply(Concat({{0x0D, 0xD2, 0x10}, kIdentifier}));
    EXPECT_EQ(arm.GetDeviceId().PlainHex(), std::string(32, '0'));
    link.Expect({0x0D, 0xD1}).Reply(Concat({{0x0D, 0xD1, 0x0F}, kIdentifier}));
    EXPECT_EQ(arm.GetDeviceId().PlainHex(), std::string(32, '0'));
    link.Expect({0x0E, 0xE3, 0x00}).Reply({0x0E, 0xE2, 0x01});
    EXPECT_EQ(arm.GetConfigE3(), 0);
    // The bad length byte's payload was consumed with it.
    link.Expect({0x0E, 0xE0}).Reply({0x0E, 0xE0, 0x01});
    EXPECT_EQ(arm.GetConfigE0(), 1);
}

TEST_F(Ostrel3Test, SilentDeviceCostsOneTimeOutPerExchange) {
    OutputCapture errors(STDERR_FILENO);
    const auto start = link.Now();
    EXPECT_EQ(arm.GetTemperature(), 0.0f);
    const auto first = link.Now() - start;
    EXPECT_EQ(arm.GetDeviceId().PlainHex(), std::string(32, '0'));
    EXPECT_GE(first, std::chrono::seconds(5));
    EXPECT_LT(first, std::chrono::seconds(6) + std::chrono::milliseconds(1));
    EXPECT_LT(link.Now() - start, std::chrono::seconds(12) + std::chrono::milliseconds(1));
    const std::string text = errors.Finish();
    EXPECT_EQ(Count(text, kHeaderTimeout), 2) << text;
    EXPECT_EQ(Count(text, "\n"), 2) << text;
}

TEST_F(Ostrel3Test, ShortPayloadFailsWithThePayloadTimeOut) {
    link.Expect({0xAA}).Reply({0xAA, 0x00, 0x00});
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(arm.GetTemperature(), 0.0f);
    const std::string text = errors.Finish();
    EXPECT_EQ(Count(text, kPayloadTimeout), 1) << text;
    EXPECT_EQ(Count(text, "\n"), 1) << text;
}

// The rules that keep the host in step with the arm, over an in-memory link with a virtual
// clock: every time below is virtual.
class Ostrel3InStep : public ::testing::Test {
protected:
    // Answers every end-effector request, in order, after kDeviceLatency, with a state whose x
    // is the request's number, 1 first.
    void NumberEveryReply() {
        link.Answer([this](MemoryLink& l, const Bytes& frame) {
            if (frame[0] == 0x2A) {
                ++requests;
                l.Arrive(
                    Concat({{0x2B}, FloatBytes({static_cast<float>(requests), 0, 0, 0, 0, 0})}),
                    kDeviceLatency);
            }
        });
    }
    float Force() { return arm.EndEffectorForce({0, 0, 1}).position[0]; }

    static constexpr std::chrono::microseconds kDeviceLatency{200};
    MemoryLink link;
    Ostrel3 arm{&link, Device::kReplyTimeout, &MemoryLink::Clock};
    int requests = 0;
};

TEST_F(Ostrel3InStep, StaleBytesBeforeAWholeExchangeAreDiscarded) {
    // A reply numbered 99 waits before the first request.
    link.Play(LoadScript("stray-reply.jsonl"));
    std::vector<float> results;
    for (int i = 0; i < 5; ++i) {
        results.push_back(Force());
    }
    EXPECT_EQ(results, (std::vector<float>{1, 2, 3, 4, 5}));
}

TEST_F(Ostrel3InStep, ALateReplyCostsOnlyTheCallsItArrivesIn) {
    // The first reply comes after the first call has timed out, during the second call, which
    // cannot tell it from its own; the second reply, waiting when the third call starts, is
    // stale by then.
    link.Play(LoadScript("late-reply.jsonl"));
    OutputCapture errors(STDERR_FILENO);
    std::vector<float> results;
    for (int i = 0; i < 7; ++i) {
        results.push_back(Force());
    }
    EXPECT_EQ(Count(errors.Finish(), kHeaderTimeout), 1);
    EXPECT_EQ(results, (std::vector<float>{0, 1, 3, 4, 5, 6, 7}));
}

TEST_F(Ostrel3InStep, SplitOperationsKeepWhatIsWaiting) {
    NumberEveryReply();
    arm.SendForce({0, 0, 1});
    arm.SendForce({0, 0, 2});
    Vector3 position{}, velocity{};
    EXPECT_EQ(arm.ReceiveState(position, velocity), 24);
    EXPECT_EQ(position[0], 1.0f);
    EXPECT_EQ(arm.ReceiveState(position, velocity), 24);
    EXPECT_EQ(position[0], 2.0f);
}

TEST_F(Ostrel3InStep, WrongReplyInPiecesLeavesNothingBehind) {
    // A reply the arm sends, for another request, arriving in two pieces 20 ms apart: its rest
    // is consumed by its length, however long the pause, in a whole exchange and in a request and
    // receive apart.
    link.Play(LoadScript("wrong-reply-in-pieces.jsonl"));
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(arm.JointTorques({0, 0, 1}).position, (Vector3{}));
    EXPECT_EQ(Force(), 2.0f);
    arm.SendJointTorques({0, 0, 1});
    Vector3 position{}, velocity{};
    EXPECT_EQ(arm.ReceiveJointState(position, velocity), -1);
    EXPECT_EQ(arm.ReceiveJointState(position, velocity), 24);
    EXPECT_EQ(position[0], 3.0f);
    EXPECT_EQ(errors.Finish(), "");
}

TEST_F(Ostrel3InStep, WrongTwoCodeRepliesAreConsumedByTheirSubCodes) {
    // Each wrong reply is followed at once by the right one, which must be read next.
    arm.RequestTemperature();
    link.Arrive(Concat({{0x0E, 0xE1, 0x05}, FloatBytes({2.5f})}))
        .Arrive(Concat({{0xAA}, FloatBytes({21.5f})}));
    EXPECT_EQ(arm.ReceiveTemperature(), -1);
    float temperature = 0;
    EXPECT_EQ(arm.ReceiveTemperature(temperature), 4);
    EXPECT_EQ(temperature, 21.5f);

    link.Arrive(Concat({{0x0D, 0xD2, 0x10}, kIdentifier}))
        .Arrive(Concat({{0x0D, 0xD1, 0x10}, kIdentifier}));
    EXPECT_EQ(arm.ReceiveDeviceId(), -1);
    UUID identifier;
    EXPECT_EQ(arm.ReceiveDeviceId(identifier), 17);
    EXPECT_EQ(identifier.PlainHex(), "102132435465768798a9bacbdcedfe0f");
}

TEST_F(Ostrel3InStep, CodesTheArmNeverSendsAreDrainedUntilThePortIsQuiet) {
    OutputCapture errors(STDERR_FILENO);
    link.Arrive({0x55, 0x01, 0x02})
        .Arrive({0x03, 0x04}, std::chrono::milliseconds(30))
        .Arrive({0x0D, 0x77}, std::chrono::milliseconds(200))
        .Arrive({0x01}, std::chrono::milliseconds(230))
        .Arrive(Concat({{0xAC}, {0x01}}), std::chrono::milliseconds(400));
    EXPECT_EQ(arm.ReceivePowerStatus(), -1);  // 0x55
    EXPECT_EQ(arm.ReceivePowerStatus(), -1);  // 0x0D with a sub-code the arm never sends
    uint8_t status = 0;
    EXPECT_EQ(arm.ReceivePowerStatus(status), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(errors.Finish(), "");
}

TEST_F(Ostrel3InStep, ChatteringDeviceIsGivenUpOnWithinTheTimeOut) {
    for (int i = 0; i < 4000; ++i) {
        link.Arrive({0x55}, std::chrono::milliseconds(2 * i));
    }
    const auto start = link.Now();
    arm.RequestTemperature();
    EXPECT_EQ(arm.ReceiveTemperature(), -1);
    EXPECT_GE(link.Now() - start, std::chrono::seconds(5));
    EXPECT_LT(link.Now() - start, std::chrono::seconds(6) + std::chrono::milliseconds(1));
    EXPECT_GT(link.Unread(), 0u);
}

// Besides its zeros, each exchange tells how it went: its first failure, or Ok.
TEST_F(Ostrel3Test, EachExchangeTellsHowItWent) {
    using Outcome = Device::Outcome;
    OutputCapture errors(STDERR_FILENO);
    const Bytes temperature = Concat({{0xAA}, FloatBytes({21.5f})});
    link.Expect({0xAA}).Reply(temperature);
    EXPECT_EQ(arm.GetTemperature(), 21.5f);
    EXPECT_EQ(arm.LastOutcome(), Outcome::Ok);
    link.Expect({0xAA}).Reply({0xAC, 0x01});
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::WrongReply);
    link.Expect({0x0D, 0xD1}).Reply(Concat({{0x0D, 0xD1, 0x0F}, Bytes(16, 0x01)}));
    arm.GetDeviceId();
    EXPECT_EQ(arm.LastOutcome(), Outcome::WrongReply);
    link.Expect({0xAA}).Reply({0xAA, 0x00});
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::CutShort);
    link.Expect({0xAA});
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::TimedOut);
    link.Expect({0xAA});
    Testing::CancelAt cancellation(link, link.Now() + std::chrono::milliseconds(50));
    arm.SetCancellation(&cancellation);
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::Cancelled);
    arm.SetCancellation(nullptr);
    // A good exchange after failures is good again.
    link.Expect({0xAA}).Reply(temperature);
    EXPECT_EQ(arm.GetTemperature(), 21.5f);
    EXPECT_EQ(arm.LastOutcome(), Outcome::Ok);
    link.Expect({0xAA}).Reply(temperature);
    link.FailReads();
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::PortGone);
    link.FailWrites();
    arm.GetTemperature();
    EXPECT_EQ(arm.LastOutcome(), Outcome::WriteFailed);
    errors.Finish();
}

// The link's counts: exchanges by how each went, bytes each way, the last failure, and how many
// exchanges in a row timed out.
TEST_F(Ostrel3Test, TheLinkIsCountedExchangeByExchange) {
    using Outcome = Device::Outcome;
    OutputCapture errors(STDERR_FILENO);
    const Bytes temperature = Concat({{0xAA}, FloatBytes({21.5f})});
    EXPECT_EQ(arm.Statistics().exchanges, 0u);
    link.Expect({0xAA}).Reply(temperature);
    arm.GetTemperature();
    link.Expect({0xAA}).Reply({0xAC, 0x01});
    arm.GetTemperature();
    for (int i = 0; i < 2; ++i) {
        link.Expect({0xAA});
        arm.GetTemperature();
    }
    auto counts = arm.Statistics();
    EXPECT_EQ(counts.exchanges, 4u);
    EXPECT_EQ(counts.by_outcome[static_cast<size_t>(Outcome::Ok)], 1u);
    EXPECT_EQ(counts.by_outcome[static_cast<size_t>(Outcome::WrongReply)], 1u);
    EXPECT_EQ(counts.by_outcome[static_cast<size_t>(Outcome::TimedOut)], 2u);
    EXPECT_EQ(counts.timeouts_in_a_row, 2u);
    EXPECT_EQ(counts.bytes_written, 4u);
    EXPECT_EQ(counts.bytes_read, 5u + 2u);
    EXPECT_TRUE(counts.failed);
    EXPECT_EQ(counts.last_failure, Outcome::TimedOut);
    EXPECT_GT(counts.last_failure_us, 0);
    link.Expect({0xAA}).Reply(temperature);
    arm.GetTemperature();
    counts = arm.Statistics();
    EXPECT_EQ(counts.timeouts_in_a_row, 0u);
    EXPECT_EQ(counts.exchanges, 5u);
    EXPECT_EQ(counts.last_failure, Outcome::TimedOut);
    errors.Finish();
}

// A line that hangs up while a reply is awaited ends the wait at once, as the port gone, with the
// line a wait that ran out gives.
TEST_F(Ostrel3Test, AHungUpLineEndsTheWaitAtOnce) {
    OutputCapture errors(STDERR_FILENO);
    link.Expect({0xAA}).Hangup();
    const auto start = link.Now();
    EXPECT_EQ(arm.GetTemperature(), 0.0f);
    EXPECT_LT(link.Now() - start, std::chrono::milliseconds(10));
    EXPECT_EQ(arm.LastOutcome(), Device::Outcome::PortGone);
    EXPECT_EQ(Count(errors.Finish(), kHeaderTimeout), 1);
}

// Every whole exchange of the arm, named.
const std::pair<const char*, std::function<void(Ostrel3&)>> kWholeExchanges[] = {
    {"DeviceWakeup", [](Ostrel3& a) { a.DeviceWakeup(); }},
    {"GetDeviceId", [](Ostrel3& a) { a.GetDeviceId(); }},
    {"GetFirmwareVersion", [](Ostrel3& a) { a.GetFirmwareVersion(); }},
    {"GetMotorCurrents", [](Ostrel3& a) { a.GetMotorCurrents(); }},
    {"GetDeviceOrientation", [](Ostrel3& a) { a.GetDeviceOrientation(); }},
    {"GetPowerStatus", [](Ostrel3& a) { a.GetPowerStatus(); }},
    {"GetTemperature", [](Ostrel3& a) { a.GetTemperature(); }},
    {"JointTorques", [](Ostrel3& a) { a.JointTorques({0.1f, 0.2f, 0.3f}); }},
    {"JointAngles", [](Ostrel3& a) { a.JointAngles({0.1f, 0.2f, 0.3f}); }},
    {"EndEffectorForce", [](Ostrel3& a) { a.EndEffectorForce({0.0f, 0.0f, 1.5f}); }},
    {"EndEffectorPosition", [](Ostrel3& a) { a.EndEffectorPosition({0.2f, 0.0f, 0.0f}); }},
    {"GetConfigE0", [](Ostrel3& a) { a.GetConfigE0(); }},
    {"GetConfigE1", [](Ostrel3& a) { a.GetConfigE1(); }},
    {"SetConfigE1", [](Ostrel3& a) { a.SetConfigE1({1, 2.0f}); }},
    {"GetConfigE2", [](Ostrel3& a) { a.GetConfigE2(); }},
    {"SetConfigE2", [](Ostrel3& a) { a.SetConfigE2(1); }},
    {"GetConfigE3", [](Ostrel3& a) { a.GetConfigE3(); }},
    {"SetConfigE3", [](Ostrel3& a) { a.SetConfigE3(3); }},
};

// A device that sends faster than the host reads, over and over a code the arm never sends, or
// a driver that always has bytes to give: every look finds bytes waiting, so no wait ever waits.
// Each exchange still ends within the time-out (a wrong code drains until the port is quiet,
// which it never is), quietly, and at once once its call is cancelled.
TEST_F(Ostrel3InStep, FloodingDeviceIsGivenUpOnWithinTheTimeOut) {
    link.Flood({0x99});
    OutputCapture errors(STDERR_FILENO);
    for (const auto& [name, exchange] : kWholeExchanges) {
        const auto start = link.Now();
        exchange(arm);
        EXPECT_LT(link.Now() - start, std::chrono::seconds(6) + std::chrono::milliseconds(100))
            << name;
    }
    EXPECT_EQ(errors.Finish(), "");
}

TEST_F(Ostrel3InStep, FloodingDeviceLetsACancelledCallEndAtOnce) {
    link.Flood({0x99});
    for (const auto& [name, exchange] : kWholeExchanges) {
        const auto start = link.Now();
        Testing::CancelAt cancellation(link, start + std::chrono::milliseconds(200));
        arm.SetCancellation(&cancellation);
        exchange(arm);
        EXPECT_GE(link.Now() - start, std::chrono::milliseconds(200)) << name;
        EXPECT_LT(link.Now() - start, std::chrono::milliseconds(250)) << name;
        arm.SetCancellation(nullptr);
    }
}

// Replies spoiled as a faulty device or link spoils them, mixed with good ones: a code the arm
// never sends, stray bytes before the reply, a reply cut short. Each costs its own exchange and at
// most one time-out; the next good reply is read in step.
TEST_F(Ostrel3InStep, SpoiledRepliesCostOnlyTheirOwnExchange) {
    link.Answer([this](MemoryLink& l, const Bytes& frame) {
        if (frame[0] != 0xAA) {
            return;
        }
        ++requests;
        Bytes reply = Concat({{0xAA}, FloatBytes({static_cast<float>(requests)})});
        if (requests % 3 == 0) {
            reply[0] = 0xEE;
        }
        if (requests % 7 == 0) {
            reply.resize(reply.size() / 2);
        }
        if (requests % 5 == 0) {
            reply.insert(reply.begin(), {0x55, 0x00, 0x66});
        }
        l.Arrive(reply, kDeviceLatency);
    });
    OutputCapture errors(STDERR_FILENO);
    for (int i = 1; i <= 40; ++i) {
        const bool spoiled = i % 3 == 0 || i % 5 == 0 || i % 7 == 0;
        const auto start = link.Now();
        EXPECT_EQ(arm.GetTemperature(), spoiled ? 0.0f : static_cast<float>(i)) << i;
        EXPECT_LT(link.Now() - start, std::chrono::seconds(6) + std::chrono::milliseconds(100))
            << i;
    }
    // Only a reply cut short after its code runs a wait out (requests 7, 14 and 28); the others
    // fail quietly.
    const std::string text = errors.Finish();
    EXPECT_EQ(Count(text, kPayloadTimeout), 3) << text;
    EXPECT_EQ(Count(text, "\n"), 3) << text;
}

// Unplugging is a pseudo-terminal's hang-up: writes fail and nothing more arrives. The arm gives
// up within a second, so the bound on each call is generous, yet below the five seconds a call
// would take with the default time-out.
TEST(Ostrel3Unplugged, MidPayloadGivesZerosAndLaterCallsKeepFailingCleanly) {
    constexpr long kGenerousCallLimitMs = 5000;
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str(), true);
    Ostrel3 arm(&stream, Testing::kImpatientTimeout, &Testing::DoubleSpeedClock);
    // A whole state, then 10 bytes of the next, and the device is unplugged 50 ms later.
    fake.Play(LoadScript("hangup-mid-payload.jsonl"));
    EXPECT_EQ(arm.EndEffectorForce({0, 0, 1}).position, kStatePosition);

    OutputCapture errors(STDERR_FILENO);
    auto start = Clock::now();
    EXPECT_EQ(arm.EndEffectorForce({0, 0, 1}).position, (Vector3{}));
    EXPECT_LT(MillisecondsSince(start), kGenerousCallLimitMs);
    ASSERT_TRUE(fake.WaitUntilPlayed(Milliseconds(5000)));
    for (int i = 0; i < 2; ++i) {
        start = Clock::now();
        EXPECT_EQ(arm.EndEffectorForce({0, 0, 1}).position, (Vector3{})) << i;
        EXPECT_EQ(arm.GetTemperature(), 0.0f) << i;
        EXPECT_LT(MillisecondsSince(start), kGenerousCallLimitMs) << i;
    }
    const std::string text = errors.Finish();
    EXPECT_EQ(Count(text, kPayloadTimeout), 1) << text;
    EXPECT_EQ(Count(text, "SerialStream.cpp:52> unable to write '13' bytes to stream"), 2) << text;
    EXPECT_EQ(Count(text, "SerialStream.cpp:52> unable to write '1' bytes to stream"), 2) << text;
    EXPECT_EQ(Count(text, kHeaderTimeout), 4) << text;
}

// While the device reads nothing the line fills up; a frame the port cannot take waits for at
// most a second (one that has begun to go out is finished), so the sends end soon after the
// device reads again, the line carries whole frames only, and the same objects go on exchanging.
TEST(Ostrel3Stalled, ADeviceThatStopsReadingForAWhileIsServedAgain) {
    constexpr long kGenerousLimitMs = 30000;
    FakeDevice fake;
    SerialStream stream(fake.Path().c_str(), true);
    Ostrel3 arm(&stream, Device::kReplyTimeout);
    // The device reads nothing for 2 s, then looks for a force request, which it answers.
    fake.Play(LoadScript("stalled-device.jsonl"));
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i) {
        arm.SendAngle({0.1f, 0.2f, 0.3f});
    }
    EXPECT_LT(MillisecondsSince(start), kGenerousLimitMs);
    EXPECT_EQ(arm.EndEffectorForce({0, 0, 1}).position[0], 5.0f);
    // A frame waits a second, so about two are refused while the device reads nothing; a port
    // that refused every frame it cannot take at once would refuse hundreds. The bound leaves
    // room for a device thread that a busy machine lets read again late.
    const int failed = Count(errors.Finish(), "unable to write '13' bytes to stream");
    EXPECT_LE(failed, 8);
    const Bytes angles = Concat({{0x1C}, FloatBytes({0.1f, 0.2f, 0.3f})});
    Bytes expected;
    for (int i = 0; i < 2000 - failed; ++i) {
        expected.insert(expected.end(), angles.begin(), angles.end());
    }
    EXPECT_EQ(fake.Received(), Concat({expected, {0x2A}, FloatBytes({0, 0, 1})}));
}

TEST(Ostrel3Decoding, PayloadsDecodeWithoutAPort) {
    const Bytes info = Concat({{0xFF, 0xFF, 0x04, 0x00, 0xFF}, kIdentifier});
    const DeviceInfo decoded = Ostrel3::DecodeDeviceInfo(info.data());
    EXPECT_EQ(decoded.device_id, 0xFFFF);
    EXPECT_EQ(decoded.firmware_version, 0xFF);
    EXPECT_EQ(decoded.device_id_ext.data[15], 0x0F);

    const DeviceState state = Ostrel3::DecodeDeviceState(kState.data());
    EXPECT_EQ(state.position, kStatePosition);
    EXPECT_EQ(state.velocity, kStateVelocity);

    const Bytes pair = Concat({{0x80}, FloatBytes({-7.5f})});
    EXPECT_EQ(Ostrel3::DecodeConfigPair(pair.data()).value, 0x80);
    EXPECT_EQ(Ostrel3::DecodeConfigPair(pair.data()).number, -7.5f);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
