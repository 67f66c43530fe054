// The hand-held handle: its four requests, a receiver that reads one message at a time and
// reports it to virtual callbacks (field form first, then record form), read forms that store
// the fields instead, and the reader of the compact byte-stuffed status packet.
#pragma once

#include <array>
#include <cstdint>

#include "Device.h"

namespace Ornix::HardwareAPI::Devices {

struct HandleInfo {
    uint16_t device_id = 0;
    uint8_t tool_data_remaining = 0;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
};

struct HandleStatusMessage {
    static constexpr size_t kMaxUserData = 255;

    uint16_t device_id = 0;
    std::array<float, 4> quaternion{};
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t user_data_length = 0;
    std::array<uint8_t, kMaxUserData> user_data{};  // the first user_data_length are valid
};

struct HandleErrorResponse {
    uint16_t device_id = 0;
    uint8_t error_code = 0;
};

struct QuilletStatus {
    // error_flag values of the reader itself; any other value is the handle's own.
    static constexpr uint8_t kMalformedPacket = 1;
    static constexpr uint8_t kNothingReceived = 2;

    uint8_t device_id = 0;
    std::array<float, 4> quaternion{};
    uint8_t error_flag = 0;
    uint8_t hall_effect_sensor_level = 0;
    uint8_t buttons = 0;
    float battery_level = 0.0f;
    // The handle's count of packets sent, modulo 256: a gap tells of packets lost.
    uint8_t sequence = 0;
};

class Handle : public Device {
public:
    // Result of Receive when no known message arrived.
    static constexpr int kNoMessage = -1;
    static constexpr size_t kCompactPacketLength = 19;

    explicit Handle(IO::SerialStream* stream, float timeout = kReplyTimeout,
                    Clock clock = &SystemTime);
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // Copies exactly data_length bytes from user_data, which may be null only when it is 0.
    void SendHandleState(uint16_t device_id, uint8_t data_length, const uint8_t* user_data);
    void RequestError(uint16_t device_id);

    // Reads one message and reports it to the callbacks: the payload byte count, or kNoMessage
    // for a time-out or an unknown code (which alone is consumed). A message whose payload did
    // not arrive whole reaches no callback.
    int Receive();
    // The same, also storing the header code read (0 when none).
    int Receive(uint8_t& header_code);

    // Each begins after its header code has been read.
    int ReceiveHandleInfo();
    int ReceiveHandleStatusMessage();
    int ReceiveHandleErrorResponse();
    // As the Receive forms, storing the fields instead of calling back; the variables change
    // only when the whole message arrived. user_data needs room for 255 bytes.
    int ReadHandleInfo(uint8_t& tool_data_remaining, uint16_t& device_id,
                       uint8_t& device_model_number, uint8_t& hardware_version,
                       uint8_t& firmware_version);
    int ReadHandleStatusMessage(uint16_t& device_id, float* quaternion, uint8_t& error_flag,
                                uint8_t& hall_effect_sensor_level, uint8_t& user_data_length,
                                uint8_t* user_data);
    int ReadHandleErrorResponse(uint16_t& device_id, uint8_t& error_code);

    // Reads the most recent compact status packet: skips bytes until a header code, then takes
    // the newest of the whole packets already waiting; waits for one only when none is.
    QuilletStatus GetQuilletStatus();
    // Reads one message as Receive does, but calls no callback: a whole status message is stored
    // in `status` (true); any other message is consumed and dropped (false).
    bool ReadStatusMessage(HandleStatusMessage& status);
    // Reads the next compact status packet in order, the oldest waiting first, for a reader that
    // must see every packet (a button's presses and releases); within the time-out too.
    QuilletStatus ReadNextQuilletStatus();

    virtual void OnReceiveHandleInfoRecord(const HandleInfo& info);
    virtual void OnReceiveHandleInfo(uint8_t tool_data_remaining, uint16_t device_id,
                                     uint8_t device_model_number, uint8_t hardware_version,
                                     uint8_t firmware_version);
    virtual void OnReceiveHandleStatusRecord(const HandleStatusMessage& status);
    // quaternion holds 4 floats, user_data user_data_length bytes; both only during the call.
    virtual void OnReceiveHandleStatusMessage(uint16_t device_id, const float* quaternion,
                                              uint8_t error_flag, uint8_t hall_effect_sensor_level,
                                              uint8_t user_data_length, const uint8_t* user_data);
    virtual void OnReceiveHandleErrorRecord(const HandleErrorResponse& error);
    virtual void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t error_code);

    // Payload decoders, usable without a port. A status payload gives every field but the user
    // data; a compact packet is its 19 stuffed bytes.
    static HandleInfo DecodeHandleInfo(const uint8_t* payload);
    static HandleStatusMessage DecodeStatusMessage(const uint8_t* payload);
    static HandleErrorResponse DecodeErrorResponse(const uint8_t* payload);
    static QuilletStatus DecodeCompactPacket(const uint8_t* packet);

private:
    // Reads the header code and the bytes of a compact packet into the receive buffer, skipping
    // stray bytes before it within `bound`: 0, or the error flag of what went wrong.
    uint8_t ReadPacket(Bound& bound);
    // The compact packet in the receive buffer, decoded; a malformed one fails the exchange.
    QuilletStatus Decoded();
    // Reads a status message's payload and user data into `status`: the byte count, whole or not.
    int ReadStatus(HandleStatusMessage& status, bool& whole);
};

}  // namespace Ornix::HardwareAPI::Devices
