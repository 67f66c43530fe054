#include "Ostrel3.h"

#include "LittleEndian.h"

namespace Ornix::HardwareAPI::Devices {

namespace {

// Header codes and sub-codes of the arm's message set.
constexpr uint8_t kWakeup = 0x0A;
constexpr uint8_t kDeviceInfo = 0x0B;
constexpr uint8_t kIdentity = 0x0D;
constexpr uint8_t kDeviceIdentifier = 0xD1;
constexpr uint8_t kFirmwareVersion = 0xD2;
constexpr uint8_t kMotorCurrents = 0xAB;
constexpr uint8_t kDeviceOrientation = 0x0C;
constexpr uint8_t kPowerStatus = 0xAC;
constexpr uint8_t kTemperature = 0xAA;
constexpr uint8_t kJointTorques = 0x1A;
constexpr uint8_t kJointAngles = 0x1C;
constexpr uint8_t kJointState = 0x1B;
constexpr uint8_t kEndEffectorForce = 0x2A;
constexpr uint8_t kEndEffectorPosition = 0x2C;
constexpr uint8_t kEndEffectorState = 0x2B;
constexpr uint8_t kConfiguration = 0x0E;
constexpr uint8_t kConfigE0 = 0xE0;
constexpr uint8_t kConfigE1 = 0xE1;
constexpr uint8_t kConfigE2 = 0xE2;
constexpr uint8_t kConfigE3 = 0xE3;
constexpr uint8_t kConfigRead = 0x00;
constexpr uint8_t kConfigWrite = 0x01;

// Response payload lengths.
constexpr size_t kDeviceInfoLength = 21;
constexpr size_t kIdentityLength = 17;  // a length byte that must be 16, then the 16 bytes
constexpr size_t kMotorCurrentsLength = 12;
constexpr size_t kDeviceOrientationLength = 16;
constexpr size_t kPowerStatusLength = 1;
constexpr size_t kTemperatureLength = 4;
constexpr size_t kStateLength = 24;
constexpr size_t kConfigByteLength = 1;
constexpr size_t kConfigE1Length = 5;

constexpr int kVectorComponents = 3;

constexpr int Succeeded(size_t length) { return static_cast<int>(length); }

}  // namespace

Ostrel3::Ostrel3(IO::SerialStream* stream, float timeout, Clock clock)
    : Device(stream, timeout, clock) {}

DeviceInfo Ostrel3::DeviceWakeup() {
    BeginExchange();
    SendDeviceWakeup();
    DeviceInfo info;
    ReceiveDeviceInfo(info.device_id, info.device_model_number, info.hardware_version,
                      info.firmware_version, info.device_id_ext);
    return info;
}

UUID Ostrel3::GetDeviceId() {
    BeginExchange();
    RequestDeviceId();
    UUID identifier;
    ReceiveDeviceId(identifier);
    return identifier;
}

UUID Ostrel3::GetFirmwareVersion() {
    BeginExchange();
    RequestFirmwareVersion();
    UUID version;
    ReceiveFirmwareVersion(version);
    return version;
}

Vector3 Ostrel3::GetMotorCurrents() {
    BeginExchange();
    RequestCurrent();
    Vector3 currents{};
    ReceiveCurrent(currents);
    return currents;
}

Vector4 Ostrel3::GetDeviceOrientation() {
    BeginExchange();
    RequestDeviceOrientation();
    Vector4 orientation{};
    ReceiveDeviceOrientation(orientation);
    return orientation;
}

uint8_t Ostrel3::GetPowerStatus() {
    BeginExchange();
    RequestPowerStatus();
    uint8_t status = 0;
    ReceivePowerStatus(status);
    return status;
}

float Ostrel3::GetTemperature() {
    BeginExchange();
    RequestTemperature();
    float temperature = 0.0f;
    ReceiveTemperature(temperature);
    return temperature;
}

DeviceState Ostrel3::JointTorques(const Vector3& torques) {
    BeginExchange();
    SendJointTorques(torques);
    DeviceState state;
    ReceiveJointState(state.position, state.velocity);
    return state;
}

DeviceState Ostrel3::JointAngles(const Vector3& angles) {
    BeginExchange();
    SendAngle(angles);
    DeviceState state;
    ReceiveJointState(state.position, state.velocity);
    return state;
}

DeviceState Ostrel3::EndEffectorForce(const Vector3& force) {
    BeginExchange();
    SendForce(force);
    DeviceState state;
    ReceiveState(state.position, state.velocity);
    return state;
}

DeviceState Ostrel3::EndEffectorPosition(const Vector3& position) {
    BeginExchange();
    SendPosition(position);
    DeviceState state;
    ReceiveState(state.position, state.velocity);
    return state;
}

uint8_t Ostrel3::GetConfigE0() {
    BeginExchange();
    RequestConfigE0();
    uint8_t value = 0;
    ReceiveConfigE0(value);
    return value;
}

ConfigPair Ostrel3::GetConfigE1() {
    BeginExchange();
    RequestConfigE1();
    ConfigPair pair;
    ReceiveConfigE1(pair.value, pair.number);
    return pair;
}

ConfigPair Ostrel3::SetConfigE1(const ConfigPair& pair) {
    BeginExchange();
    RequestConfigE1(pair.value, pair.number);
    ConfigPair stored;
    ReceiveConfigE1(stored.value, stored.number);
    return stored;
}

bool Ostrel3::GetConfigE2() {
    BeginExchange();
    RequestConfigE2();
    bool flag = false;
    ReceiveConfigE2(flag);
    return flag;
}

bool Ostrel3::SetConfigE2(uint8_t flag) {
    BeginExchange();
    RequestConfigE2(flag);
    bool stored = false;
    ReceiveConfigE2(stored);
    return stored;
}

uint8_t Ostrel3::GetConfigE3() {
    BeginExchange();
    RequestConfigE3();
    uint8_t value = 0;
    ReceiveConfigE3(value);
    return value;
}

uint8_t Ostrel3::SetConfigE3(uint8_t value) {
    BeginExchange();
    RequestConfigE3(value);
    uint8_t stored = 0;
    ReceiveConfigE3(stored);
    return stored;
}

void Ostrel3::SendCode(uint8_t code) {
    send_buffer[0] = code;
    WriteFrame(1);
}

void Ostrel3::SendCodes(uint8_t code, uint8_t sub_code) {
    send_buffer[0] = code;
    send_buffer[1] = sub_code;
    WriteFrame(2);
}

void Ostrel3::SendConfigRead(uint8_t sub_code) {
    send_buffer[0] = kConfiguration;
    send_buffer[1] = sub_code;
    send_buffer[2] = kConfigRead;
    WriteFrame(3);
}

// The caller has placed the new value from byte 3 on.
void Ostrel3::SendConfigWrite(uint8_t sub_code, size_t value_length) {
    send_buffer[0] = kConfiguration;
    send_buffer[1] = sub_code;
    send_buffer[2] = kConfigWrite;
    WriteFrame(3 + value_length);
}

void Ostrel3::SendDeviceWakeup() { SendCode(kWakeup); }
void Ostrel3::RequestDeviceId() { SendCodes(kIdentity, kDeviceIdentifier); }
void Ostrel3::RequestFirmwareVersion() { SendCodes(kIdentity, kFirmwareVersion); }
void Ostrel3::RequestCurrent() { SendCode(kMotorCurrents); }
void Ostrel3::RequestDeviceOrientation() { SendCode(kDeviceOrientation); }
void Ostrel3::RequestPowerStatus() { SendCode(kPowerStatus); }
void Ostrel3::RequestTemperature() { SendCode(kTemperature); }

void Ostrel3::SendJointTorques(const Vector3& torques) {
    WriteFloatFrame(kJointTorques, torques.data(), kVectorComponents);
}
void Ostrel3::SendJointTorques() { SendJointTorques(Vector3{}); }
void Ostrel3::SendAngle(const Vector3& angles) {
    WriteFloatFrame(kJointAngles, angles.data(), kVectorComponents);
}
void Ostrel3::SendAngle() { SendAngle(Vector3{}); }
void Ostrel3::SendForce(const Vector3& force) {
    WriteFloatFrame(kEndEffectorForce, force.data(), kVectorComponents);
}
void Ostrel3::SendForce() { SendForce(Vector3{}); }
void Ostrel3::SendPosition(const Vector3& position) {
    WriteFloatFrame(kEndEffectorPosition, position.data(), kVectorComponents);
}
void Ostrel3::SendPosition() { SendPosition(Vector3{}); }

void Ostrel3::RequestConfigE0() { SendCodes(kConfiguration, kConfigE0); }
void Ostrel3::RequestConfigE1() { SendConfigRead(kConfigE1); }
void Ostrel3::RequestConfigE1(uint8_t value, float number) {
    send_buffer[3] = value;
    LittleEndian::WriteFloat(&send_buffer[4], number);
    SendConfigWrite(kConfigE1, 5);
}
void Ostrel3::RequestConfigE2() { SendConfigRead(kConfigE2); }
void Ostrel3::RequestConfigE2(uint8_t flag) {
    send_buffer[3] = flag;
    SendConfigWrite(kConfigE2, 1);
}
void Ostrel3::RequestConfigE3() { SendConfigRead(kConfigE3); }
void Ostrel3::RequestConfigE3(uint8_t value) {
    send_buffer[3] = value;
    SendConfigWrite(kConfigE3, 1);
}

bool Ostrel3::ReceiveCode(uint8_t code) {
    uint8_t received = 0;
    if (!ReadCode(received)) {
        return false;
    }
    if (received != code) {
        Fail(Outcome::WrongReply);
        SkipResponse(received);
        return false;
    }
    return true;
}

bool Ostrel3::ReceiveResponse(uint8_t code, size_t length) {
    return ReceiveCode(code) && ReadPayload(length) == Succeeded(length);
}

bool Ostrel3::ReceiveResponse(uint8_t code, uint8_t sub_code, size_t length) {
    // The sub-code is read only after the right first code: otherwise it is not a sub-code.
    if (!ReceiveCode(code)) {
        return false;
    }
    uint8_t received = 0;
    if (!ReadCode(received)) {
        return false;
    }
    if (received != sub_code) {
        Fail(Outcome::WrongReply);
        SkipRest(ResponseLength(code, received));
        return false;
    }
    return ReadPayload(length) == Succeeded(length);
}

void Ostrel3::SkipResponse(uint8_t code) {
    if (code != kIdentity && code != kConfiguration) {
        SkipRest(ResponseLength(code));
    } else if (ReadQuietly(1)) {
        SkipRest(ResponseLength(code, receive_buffer[0]));
    }
}

void Ostrel3::SkipRest(std::optional<size_t> length) {
    if (length) {
        ReadQuietly(*length);
    } else {
        DrainUntilQuiet();
    }
}

std::optional<size_t> Ostrel3::ResponseLength(uint8_t code) {
    switch (code) {
        case kDeviceInfo:
            return kDeviceInfoLength;
        case kMotorCurrents:
            return kMotorCurrentsLength;
        case kDeviceOrientation:
            return kDeviceOrientationLength;
        case kPowerStatus:
            return kPowerStatusLength;
        case kTemperature:
            return kTemperatureLength;
        case kJointState:
        case kEndEffectorState:
            return kStateLength;
        default:
            return std::nullopt;
    }
}

std::optional<size_t> Ostrel3::ResponseLength(uint8_t code, uint8_t sub_code) {
    if (code == kIdentity && (sub_code == kDeviceIdentifier || sub_code == kFirmwareVersion)) {
        return kIdentityLength;
    }
    if (code == kConfiguration) {
        switch (sub_code) {
            case kConfigE0:
            case kConfigE2:
            case kConfigE3:
                return kConfigByteLength;
            case kConfigE1:
                return kConfigE1Length;
            default:
                break;
        }
    }
    return std::nullopt;
}

int Ostrel3::ReceiveDeviceInfo(uint16_t& device_id, uint8_t& device_model_number,
                               uint8_t& hardware_version, uint8_t& firmware_version,
                               UUID& device_id_ext) {
    if (!ReceiveResponse(kDeviceInfo, kDeviceInfoLength)) {
        return kReceiveFailed;
    }
    const DeviceInfo info = DecodeDeviceInfo(receive_buffer.data());
    device_id = info.device_id;
    device_model_number = info.device_model_number;
    hardware_version = info.hardware_version;
    firmware_version = info.firmware_version;
    device_id_ext = info.device_id_ext;
    return Succeeded(kDeviceInfoLength);
}

int Ostrel3::ReceiveDeviceInfo() {
    DeviceInfo ignored;
    return ReceiveDeviceInfo(ignored.device_id, ignored.device_model_number,
                             ignored.hardware_version, ignored.firmware_version,
                             ignored.device_id_ext);
}

int Ostrel3::ReceiveIdentity(uint8_t sub_code, UUID& identity) {
    if (!ReceiveResponse(kIdentity, sub_code, kIdentityLength)) {
        return kReceiveFailed;
    }
    if (receive_buffer[0] != UUID::kSize) {
        Fail(Outcome::WrongReply);
        return kReceiveFailed;
    }
    identity.SetBytes(&receive_buffer[1]);
    return Succeeded(kIdentityLength);
}

int Ostrel3::ReceiveDeviceId(UUID& uuid) { return ReceiveIdentity(kDeviceIdentifier, uuid); }
int Ostrel3::ReceiveDeviceId() {
    UUID ignored;
    return ReceiveDeviceId(ignored);
}
int Ostrel3::ReceiveFirmwareVersion(UUID& version) {
    return ReceiveIdentity(kFirmwareVersion, version);
}
int Ostrel3::ReceiveFirmwareVersion() {
    UUID ignored;
    return ReceiveFirmwareVersion(ignored);
}

int Ostrel3::ReceiveCurrent(Vector3& currents) {
    if (!ReceiveResponse(kMotorCurrents, kMotorCurrentsLength)) {
        return kReceiveFailed;
    }
    currents = DecodeVector3(receive_buffer.data());
    return Succeeded(kMotorCurrentsLength);
}
int Ostrel3::ReceiveCurrent() {
    Vector3 ignored;
    return ReceiveCurrent(ignored);
}

int Ostrel3::ReceiveDeviceOrientation(Vector4& orientation) {
    if (!ReceiveResponse(kDeviceOrientation, kDeviceOrientationLength)) {
        return kReceiveFailed;
    }
    orientation = DecodeVector4(receive_buffer.data());
    return Succeeded(kDeviceOrientationLength);
}
int Ostrel3::ReceiveDeviceOrientation() {
    Vector4 ignored;
    return ReceiveDeviceOrientation(ignored);
}

int Ostrel3::ReceivePowerStatus(uint8_t& status) {
    if (!ReceiveResponse(kPowerStatus, kPowerStatusLength)) {
        return kReceiveFailed;
    }
    status = receive_buffer[0];
    return Succeeded(kPowerStatusLength);
}
int Ostrel3::ReceivePowerStatus() {
    uint8_t ignored;
    return ReceivePowerStatus(ignored);
}

int Ostrel3::ReceiveTemperature(float& temperature) {
    if (!ReceiveResponse(kTemperature, kTemperatureLength)) {
        return kReceiveFailed;
    }
    temperature = LittleEndian::ReadFloat(receive_buffer.data());
    return Succeeded(kTemperatureLength);
}
int Ostrel3::ReceiveTemperature() {
    float ignored;
    return ReceiveTemperature(ignored);
}

int Ostrel3::ReceiveStateOf(uint8_t code, Vector3& position, Vector3& velocity) {
    if (!ReceiveResponse(code, kStateLength)) {
        return kReceiveFailed;
    }
    const DeviceState state = DecodeDeviceState(receive_buffer.data());
    position = state.position;
    velocity = state.velocity;
    return Succeeded(kStateLength);
}

int Ostrel3::ReceiveJointState(Vector3& position, Vector3& velocity) {
    return ReceiveStateOf(kJointState, position, velocity);
}
int Ostrel3::ReceiveJointState() {
    DeviceState ignored;
    return ReceiveJointState(ignored.position, ignored.velocity);
}
int Ostrel3::ReceiveState(Vector3& position, Vector3& velocity) {
    return ReceiveStateOf(kEndEffectorState, position, velocity);
}
int Ostrel3::ReceiveState() {
    DeviceState ignored;
    return ReceiveState(ignored.position, ignored.velocity);
}

int Ostrel3::ReceiveConfigByte(uint8_t sub_code, uint8_t& value) {
    if (!ReceiveResponse(kConfiguration, sub_code, kConfigByteLength)) {
        return kReceiveFailed;
    }
    value = receive_buffer[0];
    return Succeeded(kConfigByteLength);
}

int Ostrel3::ReceiveConfigE0(uint8_t& value) { return ReceiveConfigByte(kConfigE0, value); }

int Ostrel3::ReceiveConfigE1(uint8_t& value, float& number) {
    if (!ReceiveResponse(kConfiguration, kConfigE1, kConfigE1Length)) {
        return kReceiveFailed;
    }
    const ConfigPair pair = DecodeConfigPair(receive_buffer.data());
    value = pair.value;
    number = pair.number;
    return Succeeded(kConfigE1Length);
}
int Ostrel3::ReceiveConfigE1() {
    ConfigPair ignored;
    return ReceiveConfigE1(ignored.value, ignored.number);
}

int Ostrel3::ReceiveConfigE2(bool& flag) {
    uint8_t value = 0;
    const int result = ReceiveConfigByte(kConfigE2, value);
    if (result != kReceiveFailed) {
        flag = value != 0;
    }
    return result;
}
int Ostrel3::ReceiveConfigE2() {
    bool ignored;
    return ReceiveConfigE2(ignored);
}

int Ostrel3::ReceiveConfigE3(uint8_t& value) { return ReceiveConfigByte(kConfigE3, value); }
int Ostrel3::ReceiveConfigE3() {
    uint8_t ignored;
    return ReceiveConfigE3(ignored);
}

DeviceInfo Ostrel3::DecodeDeviceInfo(const uint8_t* payload) {
    DeviceInfo info;
    info.device_id = LittleEndian::ReadU16(payload);
    info.device_model_number = payload[2];
    info.hardware_version = payload[3];
    info.firmware_version = payload[4];
    info.device_id_ext.SetBytes(payload + 5);
    return info;
}

DeviceState Ostrel3::DecodeDeviceState(const uint8_t* payload) {
    DeviceState state;
    state.position = DecodeVector3(payload);
    state.velocity = DecodeVector3(payload + 12);
    return state;
}

Vector3 Ostrel3::DecodeVector3(const uint8_t* payload) {
    return {LittleEndian::ReadFloat(payload), LittleEndian::ReadFloat(payload + 4),
            LittleEndian::ReadFloat(payload + 8)};
}

Vector4 Ostrel3::DecodeVector4(const uint8_t* payload) {
    return {LittleEndian::ReadFloat(payload), LittleEndian::ReadFloat(payload + 4),
            LittleEndian::ReadFloat(payload + 8), LittleEndian::ReadFloat(payload + 12)};
}

ConfigPair Ostrel3::DecodeConfigPair(const uint8_t* payload) {
    return {payload[0], LittleEndian::ReadFloat(payload + 1)};
}

}  // namespace Ornix::HardwareAPI::Devices
