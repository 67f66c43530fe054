// The Ostrel3 haptic arm: its message set, the whole exchanges that return decoded results, and
// the same exchanges split into send-only and receive-only halves. Every command is answered by
// one response frame; a failed exchange gives zero results (or -1 from a receive-only half).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "Device.h"
#include "UUID.h"

namespace Ornix::HardwareAPI::Devices {

using Vector3 = std::array<float, 3>;
using Vector4 = std::array<float, 4>;

struct DeviceInfo {
    uint16_t device_id = 0;
    UUID device_id_ext;
    uint8_t device_model_number = 0;
    uint8_t hardware_version = 0;
    uint8_t firmware_version = 0;
};

// For the end-effector commands the end effector's position and velocity; for the joint
// commands the joint angles and angular velocities.
struct DeviceState {
    Vector3 position{};
    Vector3 velocity{};
};

struct ConfigPair {
    uint8_t value = 0;
    float number = 0.0f;
};

class Ostrel3 : public Device {
public:
    // The model number an Ostrel3 reports in its device info.
    static constexpr uint8_t kModelNumber = 4;
    // Result of a receive-only operation whose response was not the expected one.
    static constexpr int kReceiveFailed = -1;

    Ostrel3(IO::SerialStream* stream, float timeout, Clock clock = &SystemTime);

    // Whole exchanges. The arm speaks only when asked: whatever is waiting before the request
    // is stale and is discarded first.
    DeviceInfo DeviceWakeup();
    UUID GetDeviceId();
    UUID GetFirmwareVersion();
    Vector3 GetMotorCurrents();
    Vector4 GetDeviceOrientation();
    uint8_t GetPowerStatus();
    float GetTemperature();
    DeviceState JointTorques(const Vector3& torques);
    DeviceState JointAngles(const Vector3& angles);
    DeviceState EndEffectorForce(const Vector3& force);
    DeviceState EndEffectorPosition(const Vector3& position);
    uint8_t GetConfigE0();
    ConfigPair GetConfigE1();
    ConfigPair SetConfigE1(const ConfigPair& pair);
    bool GetConfigE2();
    bool SetConfigE2(uint8_t flag);
    uint8_t GetConfigE3();
    uint8_t SetConfigE3(uint8_t value);

    // Send-only halves: they write the request and return at once.
    void SendDeviceWakeup();
    void RequestDeviceId();
    void RequestFirmwareVersion();
    void RequestCurrent();
    void RequestDeviceOrientation();
    void RequestPowerStatus();
    void RequestTemperature();
    void SendJointTorques(const Vector3& torques);
    void SendJointTorques();
    void SendAngle(const Vector3& angles);
    void SendAngle();
    void SendForce(const Vector3& force);
    void SendForce();
    void SendPosition(const Vector3& position);
    void SendPosition();
    void RequestConfigE0();
    void RequestConfigE1();
    void RequestConfigE1(uint8_t value, float number);
    void RequestConfigE2();
    void RequestConfigE2(uint8_t flag);
    void RequestConfigE3();
    void RequestConfigE3(uint8_t value);

    // Receive-only halves: the payload length on success, kReceiveFailed otherwise. The outputs
    // change only on success; the forms without outputs consume the response and drop it.
    int ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number,
                          uint8_t& hardware_version, uint8_t& firmware_version,
                          UUID& device_id_ext);
    int ReceiveDeviceInfo();
    int ReceiveDeviceId(UUID& uuid);
    int ReceiveDeviceId();
    int ReceiveFirmwareVersion(UUID& version);
    int ReceiveFirmwareVersion();
    int ReceiveCurrent(Vector3& currents);
    int ReceiveCurrent();
    int ReceiveDeviceOrientation(Vector4& orientation);
    int ReceiveDeviceOrientation();
    int ReceivePowerStatus(uint8_t& status);
    int ReceivePowerStatus();
    int ReceiveTemperature(float& temperature);
    int ReceiveTemperature();
    int ReceiveJointState(Vector3& position, Vector3& velocity);
    int ReceiveJointState();
    int ReceiveState(Vector3& position, Vector3& velocity);
    int ReceiveState();
    int ReceiveConfigE0(uint8_t& value);
    int ReceiveConfigE1(uint8_t& value, float& number);
    int ReceiveConfigE1();
    int ReceiveConfigE2(bool& flag);
    int ReceiveConfigE2();
    int ReceiveConfigE3(uint8_t& value);
    int ReceiveConfigE3();

    // The length of what follows a response code the arm sends (for the two-code families, what
    // follows the sub-code); nothing for a code it never sends.
    static std::optional<size_t> ResponseLength(uint8_t code);
    static std::optional<size_t> ResponseLength(uint8_t code, uint8_t sub_code);

    // Payload decoders, usable without a port.
    static DeviceInfo DecodeDeviceInfo(const uint8_t* payload);
    static DeviceState DecodeDeviceState(const uint8_t* payload);
    static Vector3 DecodeVector3(const uint8_t* payload);
    static Vector4 DecodeVector4(const uint8_t* payload);
    static ConfigPair DecodeConfigPair(const uint8_t* payload);

private:
    void SendCode(uint8_t code);
    void SendCodes(uint8_t code, uint8_t sub_code);
    void SendConfigRead(uint8_t sub_code);
    void SendConfigWrite(uint8_t sub_code, size_t value_length);
    // Reads a response code: true when it is `code`; a wrong one is skipped with its rest.
    bool ReceiveCode(uint8_t code);
    // Reads the response code (and sub-code) and then `length` payload bytes. A wrong code puts
    // the stream back in step; false when the response did not arrive as expected.
    bool ReceiveResponse(uint8_t code, size_t length);
    bool ReceiveResponse(uint8_t code, uint8_t sub_code, size_t length);
    // After a wrong code: consumes exactly the rest of a response the arm sends, within the
    // time-out, and drains anything else until the port is quiet. Prints nothing.
    void SkipResponse(uint8_t code);
    void SkipRest(std::optional<size_t> length);
    int ReceiveIdentity(uint8_t sub_code, UUID& identity);
    int ReceiveConfigByte(uint8_t sub_code, uint8_t& value);
    int ReceiveStateOf(uint8_t code, Vector3& position, Vector3& velocity);
};

}  // namespace Ornix::HardwareAPI::Devices
