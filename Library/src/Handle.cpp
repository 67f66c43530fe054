#include "Handle.h"

#include <algorithm>

#include "LittleEndian.h"

namespace Ornix::HardwareAPI::Devices {

namespace {

// Header codes to the handle.
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kStatusRequest = 0xDA;
constexpr uint8_t kHandleState = 0xDB;
constexpr uint8_t kErrorRequest = 0xDF;
// Header codes from the handle; 0xDA opens both the status message and the compact packet.
constexpr uint8_t kHandleInfo = 0xD0;
constexpr uint8_t kStatusMessage = 0xDA;
constexpr uint8_t kErrorResponse = 0xDF;

constexpr size_t kHandleInfoLength = 6;
constexpr size_t kStatusLength = 21;  // the user data follows
constexpr size_t kErrorResponseLength = 3;

// Byte stuffing of the compact packet.
constexpr uint8_t kEnd = 0xC0;
constexpr uint8_t kEscape = 0xDB;
constexpr uint8_t kEscapedEnd = 0xDC;
constexpr uint8_t kEscapedEscape = 0xDD;
constexpr size_t kCompactDataLength = 18;

int Count(size_t length) { return static_cast<int>(length); }

QuilletStatus Failure(uint8_t error_flag) {
    QuilletStatus status;
    status.error_flag = error_flag;
    return status;
}

}  // namespace

Handle::Handle(IO::SerialStream* stream, float timeout, Clock clock)
    : Device(stream, timeout, clock) {}

void Handle::SendDeviceWakeup() {
    send_buffer[0] = kWakeup;
    WriteFrame(1);
}

void Handle::RequestStatus() {
    send_buffer[0] = kStatusRequest;
    WriteFrame(1);
}

void Handle::SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data) {
    send_buffer[0] = kHandleState;
    LittleEndian::WriteU16(&send_buffer[1], device_id);
    send_buffer[3] = data_length;
    if (data_length > 0) {
        std::copy(user_data, user_data + data_length, &send_buffer[4]);
    }
    WriteFrame(4 + static_cast<size_t>(data_length));
}

void Handle::RequestError(uint16_t device_id) {
    send_buffer[0] = kErrorRequest;
    LittleEndian::WriteU16(&send_buffer[1], device_id);
    WriteFrame(3);
}

int Handle::Receive() {
    uint8_t header_code = 0;
    return Receive(header_code);
}

int Handle::Receive(uint8_t& header_code) {
    BeginReceiving();
    header_code = ReadHeaderCode();
    switch (header_code) {
        case kStatusMessage:
            return ReceiveHandleStatusMessage();
        case kErrorResponse:
            return ReceiveHandleErrorResponse();
        case kHandleInfo:
            return ReceiveHandleInfo();
        default:
            Fail(Outcome::WrongReply);
            return kNoMessage;
    }
}

int Handle::ReceiveHandleInfo() {
    const int count = ReadPayload(kHandleInfoLength);
    if (count != Count(kHandleInfoLength)) {
        return count;
    }
    const HandleInfo info = DecodeHandleInfo(receive_buffer.data());
    OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                        info.hardware_version, info.firmware_version);
    OnReceiveHandleInfoRecord(info);
    return count;
}

int Handle::ReadStatus(HandleStatusMessage& status, bool& whole) {
    whole = false;
    const int first = ReadPayload(kStatusLength);
    if (first != Count(kStatusLength)) {
        return first;  // the length byte of this message never arrived
    }
    status = DecodeStatusMessage(receive_buffer.data());
    const int second = ReadPayload(status.user_data_length);
    if (second != status.user_data_length) {
        return first + second;
    }
    std::copy(receive_buffer.begin(), receive_buffer.begin() + status.user_data_length,
              status.user_data.begin());
    whole = true;
    return first + second;
}

int Handle::ReceiveHandleStatusMessage() {
    HandleStatusMessage status;
    bool whole = false;
    const int count = ReadStatus(status, whole);
    if (whole) {
        OnReceiveHandleStatusMessage(status.device_id, status.quaternion.data(), status.error_flag,
                                     status.hall_effect_sensor_level, status.user_data_length,
                                     status.user_data.data());
        OnReceiveHandleStatusRecord(status);
    }
    return count;
}

int Handle::ReceiveHandleErrorResponse() {
    const int count = ReadPayload(kErrorResponseLength);
    if (count != Count(kErrorResponseLength)) {
        return count;
    }
    const HandleErrorResponse error = DecodeErrorResponse(receive_buffer.data());
    OnReceiveHandleErrorResponse(error.device_id, error.error_code);
    OnReceiveHandleErrorRecord(error);
    return count;
}

int Handle::ReadHandleInfo(uint8_t& tool_data_remaining, uint16_t& device_id,
                           uint8_t& device_model_number, uint8_t& hardware_version,
                           uint8_t& firmware_version) {
    const int count = ReadPayload(kHandleInfoLength);
    if (count == Count(kHandleInfoLength)) {
        const HandleInfo info = DecodeHandleInfo(receive_buffer.data());
        tool_data_remaining = info.tool_data_remaining;
        device_id = info.device_id;
        device_model_number = info.device_model_number;
        hardware_version = info.hardware_version;
        firmware_version = info.firmware_version;
    }
    return count;
}

int Handle::ReadHandleStatusMessage(uint16_t& device_id, float* quaternion, uint8_t& error_flag,
                                    uint8_t& hall_effect_sensor_level, uint8_t& user_data_length,
                                    uint8_t* user_data) {
    HandleStatusMessage status;
    bool whole = false;
    const int count = ReadStatus(status, whole);
    if (whole) {
        device_id = status.device_id;
        std::copy(status.quaternion.begin(), status.quaternion.end(), quaternion);
        error_flag = status.error_flag;
        hall_effect_sensor_level = status.hall_effect_sensor_level;
        user_data_length = status.user_data_length;
        std::copy(status.user_data.begin(), status.user_data.begin() + status.user_data_length,
                  user_data);
    }
    return count;
}

int Handle::ReadHandleErrorResponse(uint16_t& device_id, uint8_t& error_code) {
    const int count = ReadPayload(kErrorResponseLength);
    if (count == Count(kErrorResponseLength)) {
        const HandleErrorResponse error = DecodeErrorResponse(receive_buffer.data());
        device_id = error.device_id;
        error_code = error.error_code;
    }
    return count;
}

bool Handle::ReadStatusMessage(HandleStatusMessage& status) {
    BeginReceiving();
    switch (ReadHeaderCode()) {
        case kStatusMessage: {
            bool whole = false;
            ReadStatus(status, whole);
            return whole;
        }
        case kErrorResponse:
            ReadPayload(kErrorResponseLength);
            return false;
        case kHandleInfo:
            ReadPayload(kHandleInfoLength);
            return false;
        default:
            Fail(Outcome::WrongReply);
            return false;
    }
}

uint8_t Handle::ReadPacket(Bound& bound) {
    uint8_t code = 0;
    if (!ReadCode(code) || code == 0) {
        return QuilletStatus::kNothingReceived;
    }
    // A wait that ends without a byte ends the search.
    while (code != kStatusMessage) {
        if (bound.Reached()) {
            Fail(Outcome::TimedOut);
            return QuilletStatus::kNothingReceived;
        }
        if (!ReadCode(code)) {
            return QuilletStatus::kNothingReceived;
        }
    }
    if (ReadPayload(kCompactPacketLength) != Count(kCompactPacketLength)) {
        return QuilletStatus::kMalformedPacket;
    }
    return 0;
}

QuilletStatus Handle::Decoded() {
    const QuilletStatus status = DecodeCompactPacket(receive_buffer.data());
    if (status.error_flag == QuilletStatus::kMalformedPacket) {
        Fail(Outcome::WrongReply);
    }
    return status;
}

QuilletStatus Handle::GetQuilletStatus() {
    // Stray bytes are skipped, and newer packets taken, within the time-out: a handle that
    // floods the port cannot hold the call.
    BeginReceiving();
    Bound bound(*this);
    if (const uint8_t failure = ReadPacket(bound)) {
        return Failure(failure);
    }
    // The handle streams: a whole packet already waiting behind this one is more recent and
    // supersedes it. Only what is waiting now is looked at; bytes that do not begin a packet
    // end the search and are dropped.
    std::array<uint8_t, 1 + kCompactPacketLength> newer{};
    for (int waiting = Available(); waiting >= static_cast<int>(newer.size()) && !bound.Reached();
         waiting -= static_cast<int>(newer.size())) {
        if (ReadWaiting(newer.data(), newer.size()) != newer.size() || newer[0] != kStatusMessage) {
            break;
        }
        std::copy(newer.begin() + 1, newer.end(), receive_buffer.begin());
    }
    return Decoded();
}

QuilletStatus Handle::ReadNextQuilletStatus() {
    BeginReceiving();
    Bound bound(*this);
    if (const uint8_t failure = ReadPacket(bound)) {
        return Failure(failure);
    }
    return Decoded();
}

void Handle::OnReceiveHandleInfoRecord(const HandleInfo&) {}
void Handle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) {}
void Handle::OnReceiveHandleStatusRecord(const HandleStatusMessage&) {}
void Handle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t,
                                          const uint8_t*) {}
void Handle::OnReceiveHandleErrorRecord(const HandleErrorResponse&) {}
void Handle::OnReceiveHandleErrorResponse(uint16_t, uint8_t) {}

HandleInfo Handle::DecodeHandleInfo(const uint8_t* payload) {
    HandleInfo info;
    info.tool_data_remaining = payload[0];
    info.device_id = LittleEndian::ReadU16(payload + 1);
    info.device_model_number = payload[3];
    info.hardware_version = payload[4];
    info.firmware_version = payload[5];
    return info;
}

HandleStatusMessage Handle::DecodeStatusMessage(const uint8_t* payload) {
    HandleStatusMessage status;
    status.device_id = LittleEndian::ReadU16(payload);
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3];
    for (size_t i = 0; i < status.quaternion.size(); ++i) {
        status.quaternion[i] = LittleEndian::ReadFloat(payload + 4 + 4 * i);
    }
    status.user_data_length = payload[20];
    return status;
}

HandleErrorResponse Handle::DecodeErrorResponse(const uint8_t* payload) {
    return {LittleEndian::ReadU16(payload), payload[2]};
}

QuilletStatus Handle::DecodeCompactPacket(const uint8_t* packet) {
    // Positions 0 to 17 are examined on their own; position 18 only as the second byte of an
    // escape that begins at 17.
    std::array<uint8_t, kCompactDataLength> data{};
    size_t decoded = 0;
    for (size_t i = 0; i < kCompactDataLength;) {
        const uint8_t byte = packet[i];
        if (byte == kEscape && packet[i + 1] == kEscapedEnd) {
            data[decoded++] = kEnd;
            i += 2;
        } else if (byte == kEscape && packet[i + 1] == kEscapedEscape) {
            data[decoded++] = kEscape;
            i += 2;
        } else if (byte == kEscape || byte == kEnd) {
            i += 1;
        } else {
            data[decoded++] = byte;
            i += 1;
        }
    }
    if (decoded != kCompactDataLength) {
        return Failure(QuilletStatus::kMalformedPacket);
    }

    QuilletStatus status;
    status.error_flag = data[2];
    status.hall_effect_sensor_level = data[3] & 0x1F;
    status.buttons = data[3] >> 5;
    status.device_id = data[4];
    for (size_t i = 0; i < status.quaternion.size(); ++i) {
        const auto component = static_cast<int16_t>(LittleEndian::ReadU16(&data[8 + 2 * i]));
        status.quaternion[i] = static_cast<float>(component) / 32768.0f;
    }
    status.battery_level = static_cast<float>(3.0 + 0.005 * data[16]);
    status.sequence = data[17];
    return status;
}

}  // namespace Ornix::HardwareAPI::Devices
