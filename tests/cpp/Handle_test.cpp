#include "Handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "MemoryLink.h"
#include "OutputCapture.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using Testing::Bytes;
using Testing::Concat;
using Testing::FloatBytes;
using Testing::MemoryLink;
using Testing::Milliseconds;
using Testing::OutputCapture;

// Writes down every callback, in the order they come.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfoRecord(const HandleInfo& info) override {
        calls.push_back("info record " +
                        Fields({info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version}));
    }
    void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id, uint8_t model,
                             uint8_t hardware, uint8_t firmware) override {
        calls.push_back("info " +
                        Fields({tool_data_remaining, device_id, model, hardware, firmware}));
    }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& status) override {
        record = status;
        calls.push_back("status record " +
                        Status(status.device_id, status.quaternion.data(), status.error_flag,
                               status.hall_effect_sensor_level, status.user_data_length,
                               status.user_data.data()));
    }
    void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                      uint8_t error_flag, uint8_t level, uint8_t length,
                                      const uint8_t* user_data) override {
        calls.push_back("status " +
                        Status(device_id, quaternion, error_flag, level, length, user_data));
    }
    void OnReceiveHandleErrorRecord(const HandleErrorResponse& error) override {
        calls.push_back("error record " + Fields({error.device_id, error.error_code}));
    }
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code) override {
        calls.push_back("error " + Fields({device_id, error_code}));
    }

    std::vector<std::string> calls;
    HandleStatusMessage record;

private:
    static std::string Fields(std::initializer_list<unsigned> values) {
        std::string text;
        for (unsigned value : values) {
            text += (text.empty() ? "" : ",") + std::to_string(value);
        }
        return text;
    }
    static std::string Status(uint16_t device_id, const float* quaternion, uint8_t error_flag,
                              uint8_t level, uint8_t length, const uint8_t* user_data) {
        std::string text = Fields({device_id, error_flag, level, length}) + " q";
        for (int i = 0; i < 4; ++i) {
            text += " " + std::to_string(quaternion[i]);
        }
        text += " data";
        for (int i = 0; i < length; ++i) {
            text += " " + std::to_string(user_data[i]);
        }
        return text;
    }
};

// A status message: device 0x0102, error flag 3, level 9, quaternion (1, 0, -0.5, 0.25).
Bytes StatusMessage(const Bytes& user_data) {
    return Concat({{0xDA, 0x02, 0x01, 0x03, 0x09},
                   FloatBytes({1.0f, 0.0f, -0.5f, 0.25f}),
                   {static_cast<uint8_t>(user_data.size())},
                   user_data});
}
const std::string kStatusFields = "258,3,9,LENGTH q 1.000000 0.000000 -0.500000 0.250000 data";

std::string StatusCall(const std::string& kind, const std::string& length,
                       const std::string& data) {
    std::string fields = kStatusFields;
    fields.replace(fields.find("LENGTH"), 6, length);
    return kind + " " + fields + data;
}

// The 18 data bytes of a compact packet, then the byte at position 18.
Bytes CompactData(uint8_t error_flag, uint8_t levels, uint8_t device_id, Bytes quaternion,
                  uint8_t battery) {
    return Concat({{0x01, 0x02, error_flag, levels, device_id, 0x05, 0x06, 0x07},
                   std::move(quaternion),
                   {battery, 0x11, 0x00}});
}

const Bytes kQuaternion = {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x40, 0x00, 0x00};

// The exchanges with a scripted handle over an in-memory link: every time below is virtual.
class HandleTest : public ::testing::Test {
protected:
    MemoryLink link;
    RecordingHandle handle{&link, Handle::kReplyTimeout, &MemoryLink::Clock};
};

// A time-out of five seconds, counted in whole seconds, ends five to six seconds after it began:
// a call that waits longer waited more than once.
constexpr std::chrono::microseconds kOneTimeOut = std::chrono::seconds(6) + Milliseconds(1);

TEST_F(HandleTest, RequestsAreWrittenByteForByte) {
    link.Expect({0x0A}).Expect({0xDA}).Expect({0xDF, 0x02, 0x01});
    link.Expect({0xDB, 0x34, 0x12, 0x02, 0xAA, 0xBB}).Expect({0xDB, 0x34, 0x12, 0x00});
    link.Expect(Concat({{0xDB, 0xFF, 0xFF, 0xFF}, Bytes(255, 0x42)}));
    handle.SendDeviceWakeup();
    handle.RequestStatus();
    handle.RequestError(0x0102);
    const uint8_t two[] = {0xAA, 0xBB};
    handle.SendHandleState(0x1234, 2, two);
    handle.SendHandleState(0x1234, 0, nullptr);
    const Bytes most(255, 0x42);
    handle.SendHandleState(0xFFFF, 255, most.data());
    EXPECT_TRUE(link.Played());
}

TEST_F(HandleTest, InfoReachesTheFieldFormThenTheRecordForm) {
    link.Reply({0xD0, 0x05, 0x34, 0x12, 0x04, 0x02, 0x07});
    uint8_t code = 0;
    EXPECT_EQ(handle.Receive(code), 6);
    EXPECT_EQ(code, 0xD0);
    EXPECT_EQ(handle.calls,
              (std::vector<std::string>{"info 5,4660,4,2,7", "info record 5,4660,4,2,7"}));
}

TEST_F(HandleTest, StatusMessagesCarryTheirUserData) {
    link.Reply(StatusMessage({})).Reply(StatusMessage({0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(handle.Receive(), 21);
    EXPECT_EQ(handle.Receive(), 24);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{
                                StatusCall("status", "0", ""), StatusCall("status record", "0", ""),
                                StatusCall("status", "3", " 10 11 12"),
                                StatusCall("status record", "3", " 10 11 12")}));
    EXPECT_EQ(handle.record.user_data[3], 0);
    EXPECT_EQ(handle.record.user_data[254], 0);
}

TEST_F(HandleTest, ErrorRequestIsAnsweredForItsDevice) {
    link.Expect({0xDF, 0x17, 0x01}).Reply({0xDF, 0x17, 0x01, 0x05});
    handle.RequestError(0x0117);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"error 279,5", "error record 279,5"}));
}

TEST_F(HandleTest, ErrorResponsesReachBothForms) {
    link.Reply({0xDF, 0x02, 0x01, 0x2A});
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls, (std::vector<std::string>{"error 258,42", "error record 258,42"}));
}

TEST_F(HandleTest, UnknownCodeIsConsumedAlone) {
    link.Reply({0x55, 0xDF, 0x00, 0x00, 0x01});
    const auto start = link.Now();
    uint8_t code = 0;
    EXPECT_EQ(handle.Receive(code), Handle::kNoMessage);
    EXPECT_EQ(code, 0x55);
    EXPECT_LT(link.Now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(handle.calls.empty());
    EXPECT_EQ(handle.Receive(), 3);
}

TEST_F(HandleTest, NothingArrivingIsOneTimeOutAndNoCallback) {
    OutputCapture errors(STDERR_FILENO);
    uint8_t code = 0xFF;
    EXPECT_EQ(handle.Receive(code), Handle::kNoMessage);
    EXPECT_EQ(code, 0);
    const std::string text = errors.Finish();
    EXPECT_EQ(text.rfind("[err] Library/src/Device.cpp:57> timeout waiting for header code", 0),
              0u);
    EXPECT_TRUE(handle.calls.empty());
}

// A partial payload stays in the port, so each case gets a handle of its own.
TEST(HandleCutShort, MessagesThatDoNotArriveWholeReachNoCallback) {
    // The status message's length byte never comes: no wait for user data of a length left
    // from an earlier message, so each case costs one time-out.
    for (const Bytes& message : {Bytes{0xD0, 0x01, 0x02}, Bytes{0xDF, 0x01}, Bytes{0xDA, 0x01}}) {
        MemoryLink link;
        RecordingHandle handle(&link, Handle::kReplyTimeout, &MemoryLink::Clock);
        link.Reply(message);
        OutputCapture errors(STDERR_FILENO);
        const auto start = link.Now();
        EXPECT_EQ(handle.Receive(), 0) << Testing::Hex(message);
        EXPECT_LT(link.Now() - start, kOneTimeOut) << Testing::Hex(message);
        errors.Finish();
        EXPECT_TRUE(handle.calls.empty());
    }
}

TEST_F(HandleTest, StatusWithoutItsLengthByteWaitsForNoStaleUserData) {
    link.Reply(StatusMessage({1, 2, 3, 4, 5})).Reply({0xDA, 0x01});
    EXPECT_EQ(handle.Receive(), 26);
    OutputCapture errors(STDERR_FILENO);
    const auto start = link.Now();
    EXPECT_EQ(handle.Receive(), 0);
    EXPECT_LT(link.Now() - start, kOneTimeOut);
    const std::string text = errors.Finish();
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
    EXPECT_EQ(handle.calls.size(), 2u);
}

TEST_F(HandleTest, StatusWithShortUserDataReachesNoCallback) {
    OutputCapture errors(STDERR_FILENO);
    Bytes message = StatusMessage({1, 2, 3, 4});
    message.resize(message.size() - 2);
    link.Reply(message);
    EXPECT_EQ(handle.Receive(), 21);
    errors.Finish();
    EXPECT_TRUE(handle.calls.empty());
}

TEST_F(HandleTest, ReadFormsStoreTheFieldsWithoutCallbacks) {
    link.Reply({0x05, 0x34, 0x12, 0x04, 0x02, 0x07});
    uint8_t remaining = 0, model = 0, hardware = 0, firmware = 0;
    uint16_t device_id = 0;
    EXPECT_EQ(handle.ReadHandleInfo(remaining, device_id, model, hardware, firmware), 6);
    EXPECT_EQ(remaining, 5);
    EXPECT_EQ(device_id, 0x1234);
    EXPECT_EQ(model, 4);
    EXPECT_EQ(hardware, 2);
    EXPECT_EQ(firmware, 7);

    Bytes status = StatusMessage({0x0A, 0x0B});
    status.erase(status.begin());
    link.Reply(status);
    float quaternion[4] = {};
    uint8_t error_flag = 0, level = 0, length = 0, user_data[255] = {};
    EXPECT_EQ(
        handle.ReadHandleStatusMessage(device_id, quaternion, error_flag, level, length, user_data),
        23);
    EXPECT_EQ(device_id, 0x0102);
    EXPECT_EQ(quaternion[2], -0.5f);
    EXPECT_EQ(error_flag, 3);
    EXPECT_EQ(level, 9);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(user_data[1], 0x0B);

    link.Reply({0x02, 0x01, 0x2A});
    uint8_t error_code = 0;
    EXPECT_EQ(handle.ReadHandleErrorResponse(device_id, error_code), 3);
    EXPECT_EQ(device_id, 0x0102);
    EXPECT_EQ(error_code, 0x2A);
    EXPECT_TRUE(handle.calls.empty());
}

TEST_F(HandleTest, ReadFormsLeaveTheVariablesOnAShortRead) {
    OutputCapture errors(STDERR_FILENO);
    link.Reply({0x05, 0x34, 0x12});
    uint8_t remaining = 9, model = 9, hardware = 9, firmware = 9;
    uint16_t device_id = 9;
    EXPECT_EQ(handle.ReadHandleInfo(remaining, device_id, model, hardware, firmware), 0);
    EXPECT_EQ(remaining + device_id + model + hardware + firmware, 45);
    errors.Finish();
}

TEST(HandleCutShort, ReadFormsOfStatusAndErrorLeaveTheVariables) {
    for (const Bytes& message : {Concat({{0x01, 0x02}, Bytes(18, 0x07)}), StatusMessage({1, 2})}) {
        MemoryLink link;
        Handle handle(&link, Handle::kReplyTimeout, &MemoryLink::Clock);
        Bytes payload(message.begin() + (message[0] == 0xDA ? 1 : 0), message.end() - 1);
        link.Reply(payload);
        OutputCapture errors(STDERR_FILENO);
        uint16_t device_id = 9;
        float quaternion[4] = {9, 9, 9, 9};
        uint8_t error_flag = 9, level = 9, length = 9, user_data[255] = {9};
        EXPECT_LT(handle.ReadHandleStatusMessage(device_id, quaternion, error_flag, level, length,
                                                 user_data),
                  21 + 2);
        errors.Finish();
        EXPECT_EQ(device_id + error_flag + level + length + user_data[0], 45);
        EXPECT_EQ(quaternion[0] + quaternion[3], 18.0f);
    }
    MemoryLink link;
    Handle handle(&link, Handle::kReplyTimeout, &MemoryLink::Clock);
    link.Reply({0x02, 0x01});
    OutputCapture errors(STDERR_FILENO);
    uint16_t device_id = 9;
    uint8_t error_code = 9;
    EXPECT_EQ(handle.ReadHandleErrorResponse(device_id, error_code), 0);
    errors.Finish();
    EXPECT_EQ(device_id + error_code, 18);
}

TEST_F(HandleTest, CompactStatusSkipsLeadingBytesAndDecodes) {
    // A stray 0x00 among the leading bytes is a byte like any other.
    link.Reply(Concat({{0x11, 0x00, 0x22, 0xDA}, CompactData(0x04, 0xE5, 0x2C, kQuaternion, 200)}));
    const QuilletStatus status = handle.GetQuilletStatus();
    EXPECT_EQ(status.error_flag, 4);
    EXPECT_EQ(status.hall_effect_sensor_level, 5);
    EXPECT_EQ(status.buttons, 7);
    EXPECT_EQ(status.device_id, 0x2C);
    EXPECT_EQ(status.quaternion[0], -1.0f);
    EXPECT_EQ(status.quaternion[1], 32767.0f / 32768.0f);
    EXPECT_EQ(status.quaternion[2], 0.5f);
    EXPECT_EQ(status.quaternion[3], 0.0f);
    EXPECT_EQ(status.battery_level, 4.0f);
}

TEST_F(HandleTest, CompactStatusSkipsAZeroByteArrivingDuringTheScan) {
    link.Reply({0x11}).Reply(Concat({{0x00, 0xDA}, CompactData(0x04, 0xE5, 0x2C, kQuaternion, 53)}),
                             Milliseconds(100));
    const QuilletStatus status = handle.GetQuilletStatus();
    EXPECT_EQ(status.error_flag, 4);
    EXPECT_EQ(status.device_id, 0x2C);
    // Computed in double precision, then stored as float.
    EXPECT_EQ(status.battery_level, static_cast<float>(3.0 + 0.005 * 53));
}

TEST_F(HandleTest, CompactStatusStartingWithAZeroByteIsNothingReceived) {
    link.Reply(Concat({{0x00, 0xDA}, CompactData(0x04, 0xE5, 0x2C, kQuaternion, 53)}));
    EXPECT_EQ(handle.GetQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
}

TEST_F(HandleTest, CompactStatusWithNothingArrivingIsOneTimeOut) {
    OutputCapture errors(STDERR_FILENO);
    const QuilletStatus status = handle.GetQuilletStatus();
    errors.Finish();
    EXPECT_EQ(status.error_flag, QuilletStatus::kNothingReceived);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
}

TEST_F(HandleTest, CompactStatusScanEndsWhenTheHandleFallsSilent) {
    OutputCapture errors(STDERR_FILENO);
    link.Reply({0x11, 0x22});
    const auto start = link.Now();
    EXPECT_EQ(handle.GetQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
    EXPECT_LT(link.Now() - start, kOneTimeOut);
    errors.Finish();
}

TEST_F(HandleTest, CompactStatusScanEndsAfterTheTimeOutWithoutAHeader) {
    for (int i = 0; i < 1200; ++i) {
        link.Reply({0x11}, Milliseconds(2));
    }
    RecordingHandle patient_for_a_second(&link, 1.0f, &MemoryLink::Clock);
    const auto start = link.Now();
    EXPECT_EQ(patient_for_a_second.GetQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
    // Whole seconds: a one-second time-out ends one to two seconds after the scan began.
    EXPECT_GE(link.Now() - start, std::chrono::seconds(1));
    EXPECT_LT(link.Now() - start, std::chrono::seconds(2) + Milliseconds(1));
    EXPECT_GT(link.Unread(), 0u);
}

TEST_F(HandleTest, CompactStatusCutShortIsMalformed) {
    OutputCapture errors(STDERR_FILENO);
    link.Reply({0xDA, 0x01, 0x02, 0x03});
    const QuilletStatus status = handle.GetQuilletStatus();
    errors.Finish();
    EXPECT_EQ(status.error_flag, QuilletStatus::kMalformedPacket);
    EXPECT_EQ(status.hall_effect_sensor_level, 0);
}

TEST(HandleCompactStream, TheNewestWholePacketWaitingIsTheOneDecoded) {
    MemoryLink link;
    RecordingHandle handle(&link, 5.0f, &MemoryLink::Clock);
    for (uint8_t device_id = 1; device_id <= 5; ++device_id) {
        link.Arrive(Concat({{0xDA}, CompactData(0x04, 0xE5, device_id, kQuaternion, 200)}));
    }
    EXPECT_EQ(handle.GetQuilletStatus().device_id, 5);
    EXPECT_EQ(link.Unread(), 0u);

    // A packet not yet whole is left for the next call, which waits for the rest.
    const Bytes sixth = Concat({{0xDA}, CompactData(0x04, 0xE5, 6, kQuaternion, 200)});
    link.Arrive(Concat({{0xDA}, CompactData(0x04, 0xE5, 7, kQuaternion, 200)}));
    link.Arrive(Bytes(sixth.begin(), sixth.begin() + 10));
    link.Arrive(Bytes(sixth.begin() + 10, sixth.end()), Milliseconds(10));
    EXPECT_EQ(handle.GetQuilletStatus().device_id, 7);
    EXPECT_EQ(handle.GetQuilletStatus().device_id, 6);
}

// A handle that sends faster than the host reads, or a driver that always has bytes to give:
// every look finds bytes waiting. The compact status reader still ends within the time-out when
// no packet ever begins, at once when the call is cancelled, and with a stream of whole packets
// it takes the newest of those waiting when it looked rather than chasing the stream for ever.
// Receive reads one message and is done.
TEST(HandleFlooded, CompactStatusEndsWithinTheTimeOutWhenNoPacketBegins) {
    MemoryLink link;
    RecordingHandle handle(&link, 5.0f, &MemoryLink::Clock);
    link.Flood({0x11});
    const auto start = link.Now();
    EXPECT_EQ(handle.GetQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
    EXPECT_LT(link.Now() - start, kOneTimeOut);

    Testing::CancelAt cancellation(link, link.Now() + Milliseconds(200));
    handle.SetCancellation(&cancellation);
    const auto cancelled = link.Now();
    EXPECT_EQ(handle.GetQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
    EXPECT_LT(link.Now() - cancelled, Milliseconds(250));
}

TEST(HandleFlooded, CompactStatusTakesTheNewestOfThePacketsWaiting) {
    MemoryLink link;
    RecordingHandle handle(&link, 5.0f, &MemoryLink::Clock);
    link.Arrive(Concat({{0xDA}, CompactData(0x04, 0xE5, 1, kQuaternion, 200)}));
    link.Flood(Concat({{0xDA}, CompactData(0x04, 0xE5, 2, kQuaternion, 200)}));
    const auto start = link.Now();
    EXPECT_EQ(handle.GetQuilletStatus().device_id, 2);
    EXPECT_LT(link.Now() - start, Milliseconds(10));
}

TEST(HandleFlooded, ReceiveReadsOneMessage) {
    MemoryLink link;
    RecordingHandle handle(&link, 5.0f, &MemoryLink::Clock);
    link.Flood({0xDF, 0x02, 0x01, 0x2A});
    const auto start = link.Now();
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.calls.size(), 4u);
    link.Flood({0x99});
    EXPECT_EQ(handle.Receive(), Handle::kNoMessage);
    EXPECT_LT(link.Now() - start, Milliseconds(10));
}

// A handle's receive operations tell how they went too: each begins an exchange of its own.
TEST_F(HandleTest, ReceivingTellsHowItWent) {
    using Outcome = Device::Outcome;
    OutputCapture errors(STDERR_FILENO);
    link.Reply({0xDF, 0x02, 0x01, 0x2A});
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.LastOutcome(), Outcome::Ok);
    link.Reply({0x99});
    EXPECT_EQ(handle.Receive(), Handle::kNoMessage);
    EXPECT_EQ(handle.LastOutcome(), Outcome::WrongReply);
    EXPECT_EQ(handle.Receive(), Handle::kNoMessage);
    EXPECT_EQ(handle.LastOutcome(), Outcome::TimedOut);
    link.Reply(Concat({{0xDA}, Bytes(19, 0xC0)}));
    EXPECT_EQ(handle.GetQuilletStatus().error_flag, QuilletStatus::kMalformedPacket);
    EXPECT_EQ(handle.LastOutcome(), Outcome::WrongReply);
    link.Reply(Concat({{0xDA}, CompactData(0x04, 0xE5, 1, kQuaternion, 200)}));
    EXPECT_EQ(handle.GetQuilletStatus().device_id, 1);
    EXPECT_EQ(handle.LastOutcome(), Outcome::Ok);
    errors.Finish();
}

// A reader that must see every packet (a button pressed and released between two looks) takes
// them in order, each with the handle's sequence count, rather than the newest alone.
TEST(HandleCompactStream, EveryPacketCanBeReadInOrder) {
    MemoryLink link;
    RecordingHandle handle(&link, 5.0f, &MemoryLink::Clock);
    for (uint8_t device_id = 1; device_id <= 3; ++device_id) {
        Bytes packet = Concat({{0xDA}, CompactData(0x04, 0xE5, device_id, kQuaternion, 200)});
        packet[18] = static_cast<uint8_t>(250 + device_id);
        link.Arrive(packet);
    }
    for (uint8_t device_id = 1; device_id <= 3; ++device_id) {
        const QuilletStatus status = handle.ReadNextQuilletStatus();
        EXPECT_EQ(status.device_id, device_id);
        EXPECT_EQ(status.sequence, 250 + device_id);
        EXPECT_EQ(status.buttons, 7);
    }
    OutputCapture errors(STDERR_FILENO);
    EXPECT_EQ(handle.ReadNextQuilletStatus().error_flag, QuilletStatus::kNothingReceived);
    errors.Finish();
}

TEST(HandleCompactPacket, BatteryCoversItsWholeRange) {
    EXPECT_EQ(
        Handle::DecodeCompactPacket(CompactData(0, 0, 0, kQuaternion, 0).data()).battery_level,
        3.0f);
    EXPECT_EQ(
        Handle::DecodeCompactPacket(CompactData(0, 0, 0, kQuaternion, 255).data()).battery_level,
        4.275f);
}

TEST(HandleCompactPacket, EscapeEndingAtTheLastPositionKeepsEighteenBytes) {
    Bytes packet = CompactData(0, 0x1F, 0, kQuaternion, 1);
    packet[17] = 0xDB;
    packet[18] = 0xDC;
    const QuilletStatus status = Handle::DecodeCompactPacket(packet.data());
    EXPECT_EQ(status.error_flag, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 31);
    EXPECT_EQ(status.buttons, 0);
}

TEST(HandleCompactPacket, StuffingInsideTheFirstEighteenBytesIsMalformed) {
    const std::vector<std::pair<size_t, Bytes>> corruptions = {
        {5, {0xC0}},        // a frame end
        {6, {0xDB, 0xDC}},  // an escaped frame end
        {6, {0xDB, 0xDD}},  // an escaped escape
        {6, {0xDB, 0x42}},  // an escape before an ordinary byte
        {17, {0xDB}},       // an escape before a byte that is no escape code
    };
    for (const auto& [at, bytes] : corruptions) {
        Bytes packet = CompactData(0, 0, 0, kQuaternion, 100);
        std::copy(bytes.begin(), bytes.end(), packet.begin() + static_cast<long>(at));
        const QuilletStatus status = Handle::DecodeCompactPacket(packet.data());
        EXPECT_EQ(status.error_flag, QuilletStatus::kMalformedPacket) << at;
        EXPECT_EQ(status.battery_level, 0.0f) << at;
    }
}

TEST(HandleDecoding, InfoTakesTheIdentifierFromBytesOneAndTwo) {
    const Bytes payload = {0x07, 0xCD, 0xAB, 0x01, 0x02, 0x03};
    const HandleInfo info = Handle::DecodeHandleInfo(payload.data());
    EXPECT_EQ(info.tool_data_remaining, 7);
    EXPECT_EQ(info.device_id, 0xABCD);
    EXPECT_EQ(info.device_model_number, 1);
    EXPECT_EQ(info.hardware_version, 2);
    EXPECT_EQ(info.firmware_version, 3);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
