#include "WireProtocol.h"

#include <array>
#include <cmath>
#include <cstring>

#include "ByteReader.h"
#include "JsonText.h"
#include "WireCodes.h"

namespace {

using namespace Wire;

constexpr std::size_t kDeviceInfoSize = 22;
constexpr std::size_t kIdentitySize = 3 + kIdentityLength;
constexpr std::size_t kStateSize = 25;
constexpr std::size_t kHandleInfoSize = 7;
constexpr std::size_t kStatusHeaderSize = 22;
constexpr std::size_t kErrorResponseSize = 4;

// Battery voltage: 3.0 V and 5 mV per unit.
constexpr double kBatteryBase = 3.0;
constexpr double kBatteryStep = 0.005;
// A unit quaternion's components lie within [-1, 1]; more than rounding beyond is no status.
constexpr float kLargestComponent = 1.5f;

using ByteReader::Float;
using ByteReader::U16;
using Status = FrameReading::Status;

template <std::size_t N>
std::array<float, N> Floats(const std::uint8_t* bytes) {
    std::array<float, N> values;
    for (std::size_t i = 0; i < N; ++i) {
        values[i] = Float(bytes + 4 * i);
    }
    return values;
}

FrameReading Incomplete() { return {Status::Incomplete, 0, {}, {}, {}}; }

FrameReading Invalid(const char* why) { return {Status::Invalid, 0, {}, {}, why}; }

FrameReading Complete(std::size_t length, const char* name, const JsonObject& fields) {
    return {Status::Complete, length, name, fields.Finish(), {}};
}

FrameReading Needing(std::size_t length, std::size_t size, const char* name,
                     const JsonObject& fields) {
    return size < length ? Incomplete() : Complete(length, name, fields);
}

FrameReading Motion(const std::uint8_t* bytes, std::size_t size, const char* name,
                    const char* field) {
    if (size < kMotionFrameSize) {
        return Incomplete();
    }
    const auto values = Floats<3>(bytes + 1);
    return Complete(kMotionFrameSize, name, JsonObject().Floats(field, values.data(), 3));
}

FrameReading ConfigurationRequest(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) {
        return Incomplete();
    }
    const std::uint8_t value_code = bytes[1];
    if (value_code == kConfigE0) {
        return Complete(2, "get_config_e0", JsonObject());
    }
    if (value_code != kConfigE1 && value_code != kConfigE2 && value_code != kConfigE3) {
        return Invalid("unknown sub-code");
    }
    if (size < 3) {
        return Incomplete();
    }
    static const char* const kReads[] = {"get_config_e1", "get_config_e2", "get_config_e3"};
    static const char* const kWrites[] = {"set_config_e1", "set_config_e2", "set_config_e3"};
    const std::size_t which = static_cast<std::size_t>(value_code - kConfigE1);
    if (bytes[2] == kConfigRead) {
        return Complete(3, kReads[which], JsonObject());
    }
    if (bytes[2] != kConfigWrite) {
        return Invalid("unknown sub-code");
    }
    if (value_code == kConfigE1) {
        return size < 8
                   ? Incomplete()
                   : Complete(
                         8, kWrites[which],
                         JsonObject().Integer("value", bytes[3]).Float("number", Float(bytes + 4)));
    }
    return size < 4 ? Incomplete()
                    : Complete(4, kWrites[which],
                               JsonObject().Integer(value_code == kConfigE2 ? "flag" : "value",
                                                    bytes[3]));
}

FrameReading ConfigurationMessage(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) {
        return Incomplete();
    }
    switch (bytes[1]) {
        case kConfigE0:
            return size < 3 ? Incomplete()
                            : Complete(3, "config_e0", JsonObject().Integer("value", bytes[2]));
        case kConfigE1:
            return size < 7 ? Incomplete()
                            : Complete(7, "config_e1",
                                       JsonObject()
                                           .Integer("value", bytes[2])
                                           .Float("number", Float(bytes + 3)));
        case kConfigE2:
            return size < 3 ? Incomplete()
                            : Complete(3, "config_e2", JsonObject().Integer("flag", bytes[2]));
        case kConfigE3:
            return size < 3 ? Incomplete()
                            : Complete(3, "config_e3", JsonObject().Integer("value", bytes[2]));
        default:
            return Invalid("unknown sub-code");
    }
}

FrameReading IdentityMessage(const std::uint8_t* bytes, std::size_t size) {
    if (size < 2) {
        return Incomplete();
    }
    if (bytes[1] != kDeviceIdentifier && bytes[1] != kFirmwareVersion) {
        return Invalid("unknown sub-code");
    }
    if (size < 3) {
        return Incomplete();
    }
    if (bytes[2] != kIdentityLength) {
        return Invalid("wrong length");
    }
    if (size < kIdentitySize) {
        return Incomplete();
    }
    const std::uint8_t* identity = bytes + 3;
    if (bytes[1] == kDeviceIdentifier) {
        return Complete(kIdentitySize, "device_id",
                        JsonObject().Hex("device_id", identity, kIdentityLength));
    }
    // Firmware versions are text, padded with zeros.
    std::string text;
    for (std::size_t i = 0; i < kIdentityLength && identity[i] != 0; ++i) {
        text += static_cast<char>(identity[i]);
    }
    return Complete(kIdentitySize, "firmware_version",
                    JsonObject().Hex("version", identity, kIdentityLength).Text("text", text));
}

FrameReading State(const std::uint8_t* bytes, std::size_t size, const char* name) {
    if (size < kStateSize) {
        return Incomplete();
    }
    const auto values = Floats<6>(bytes + 1);
    return Complete(
        kStateSize, name,
        JsonObject().Floats("position", values.data(), 3).Floats("velocity", values.data() + 3, 3));
}

// The compact packet: the status code, 18 SLIP-stuffed data bytes and END.
FrameReading CompactPacket(const std::uint8_t* bytes, std::size_t size) {
    std::array<std::uint8_t, kCompactDataSize> data{};
    std::size_t decoded = 0;
    std::size_t at = 1;
    while (decoded < kCompactDataSize) {
        if (at >= size) {
            return Incomplete();
        }
        if (bytes[at] == kSlipEnd) {
            return Invalid("compact packet too short");
        }
        if (bytes[at] != kSlipEscape) {
            data[decoded++] = bytes[at++];
            continue;
        }
        if (at + 1 >= size) {
            return Incomplete();
        }
        if (bytes[at + 1] == kSlipEscapedEnd) {
            data[decoded++] = kSlipEnd;
        } else if (bytes[at + 1] == kSlipEscapedEscape) {
            data[decoded++] = kSlipEscape;
        } else {
            return Invalid("bad escape");
        }
        at += 2;
    }
    if (at >= size) {
        return Incomplete();
    }
    if (bytes[at] != kSlipEnd) {
        return Invalid("compact packet too long");
    }
    std::array<float, 4> quaternion;
    for (std::size_t i = 0; i < quaternion.size(); ++i) {
        const auto component = static_cast<std::int16_t>(U16(&data[8 + 2 * i]));
        quaternion[i] = static_cast<float>(component / kQuaternionScale);
    }
    const auto battery = static_cast<float>(kBatteryBase + kBatteryStep * data[16]);
    return Complete(at + 1, "compact_status",
                    JsonObject()
                        .Integer("device_id", data[4])
                        .Integer("sequence", data[17])
                        .Floats("quaternion", quaternion.data(), quaternion.size())
                        .Integer("buttons", data[3] >> 5)
                        .Integer("hall_effect_sensor_level", data[3] & 0x1F)
                        .Float("battery_level", battery)
                        .Integer("error_flag", data[2]));
}

FrameReading StatusMessage(const std::uint8_t* bytes, std::size_t size, bool& plausible) {
    plausible = false;
    if (size < kStatusHeaderSize) {
        return Incomplete();
    }
    const std::size_t length = kStatusHeaderSize + bytes[21];
    if (size < length) {
        return Incomplete();
    }
    const auto quaternion = Floats<4>(bytes + 5);
    plausible = true;
    for (float component : quaternion) {
        plausible =
            plausible && std::isfinite(component) && std::fabs(component) <= kLargestComponent;
    }
    return Complete(length, "status_message",
                    JsonObject()
                        .Integer("device_id", U16(bytes + 1))
                        .Integer("error_flag", bytes[3])
                        .Integer("hall_effect_sensor_level", bytes[4])
                        .Floats("quaternion", quaternion.data(), quaternion.size())
                        .Hex("user_data", bytes + kStatusHeaderSize, bytes[21]));
}

// A compact packet and a status message both open with the status code. The SLIP framing
// tells a compact packet; a status message is preferred only when it was asked for and carries
// the handle's own device id, since a compact packet read as one would carry another.
FrameReading StatusCodeMessage(const std::uint8_t* bytes, std::size_t size,
                               const ExchangeState& state) {
    const FrameReading compact = CompactPacket(bytes, size);
    bool plausible = false;
    const FrameReading status = StatusMessage(bytes, size, plausible);
    const bool own_id = state.handle_id && size >= 3 && U16(bytes + 1) == *state.handle_id;
    if (state.status_requested && own_id) {
        if (status.status == Status::Incomplete) {
            return status;
        }
        if (plausible) {
            return status;
        }
    }
    if (compact.status == Status::Complete) {
        return compact;
    }
    const bool may_be_status = !state.handle_id || own_id;
    if (status.status == Status::Complete && may_be_status && plausible) {
        return status;
    }
    if (compact.status == Status::Incomplete ||
        (status.status == Status::Incomplete && may_be_status)) {
        return Incomplete();
    }
    return status.status == Status::Complete ? status : compact;
}

}  // namespace

FrameReading WireProtocol::ReadRequest(const std::uint8_t* bytes, std::size_t size) {
    switch (bytes[0]) {
        case kWakeup:
            return Complete(1, "device_wakeup", JsonObject());
        case kIdentity:
            if (size < 2) {
                return Incomplete();
            }
            if (bytes[1] == kDeviceIdentifier) {
                return Complete(2, "get_device_id", JsonObject());
            }
            if (bytes[1] == kFirmwareVersion) {
                return Complete(2, "get_firmware_version", JsonObject());
            }
            return Invalid("unknown sub-code");
        case kConfiguration:
            return ConfigurationRequest(bytes, size);
        case kMotorCurrents:
            return Complete(1, "get_motor_currents", JsonObject());
        case kOrientation:
            return Complete(1, "get_device_orientation", JsonObject());
        case kPowerStatus:
            return Complete(1, "get_power_status", JsonObject());
        case kTemperature:
            return Complete(1, "get_temperature", JsonObject());
        case kJointTorques:
            return Motion(bytes, size, "joint_torques", "torques");
        case kJointAngles:
            return Motion(bytes, size, "joint_angles", "angles");
        case kEndEffectorForce:
            return Motion(bytes, size, "end_effector_force", "force");
        case kEndEffectorPosition:
            return Motion(bytes, size, "end_effector_position", "position");
        case kStatus:
            return Complete(1, "request_status", JsonObject());
        case kHandleState: {
            if (size < kHandleStateHeaderSize) {
                return Incomplete();
            }
            const std::size_t length = kHandleStateHeaderSize + bytes[3];
            if (size < length) {
                return Incomplete();
            }
            return Complete(length, "handle_state",
                            JsonObject()
                                .Integer("device_id", U16(bytes + 1))
                                .Hex("user_data", bytes + kHandleStateHeaderSize, bytes[3]));
        }
        case kError:
            return Needing(kErrorRequestSize, size, "request_error",
                           size < kErrorRequestSize
                               ? JsonObject()
                               : JsonObject().Integer("device_id", U16(bytes + 1)));
        default:
            return Invalid("unknown code");
    }
}

FrameReading WireProtocol::ReadMessage(const std::uint8_t* bytes, std::size_t size,
                                       const ExchangeState& state) {
    switch (bytes[0]) {
        case kDeviceInfo: {
            if (size < kDeviceInfoSize) {
                return Incomplete();
            }
            return Complete(kDeviceInfoSize, "device_info",
                            JsonObject()
                                .Integer("device_id", U16(bytes + 1))
                                .Integer("device_model_number", bytes[3])
                                .Integer("hardware_version", bytes[4])
                                .Integer("firmware_version", bytes[5])
                                .Hex("device_id_ext", bytes + 6, kIdentityLength));
        }
        case kIdentity:
            return IdentityMessage(bytes, size);
        case kConfiguration:
            return ConfigurationMessage(bytes, size);
        case kMotorCurrents: {
            if (size < 13) {
                return Incomplete();
            }
            const auto currents = Floats<3>(bytes + 1);
            return Complete(13, "motor_currents",
                            JsonObject().Floats("currents", currents.data(), 3));
        }
        case kOrientation: {
            if (size < 17) {
                return Incomplete();
            }
            const auto quaternion = Floats<4>(bytes + 1);
            return Complete(17, "device_orientation",
                            JsonObject().Floats("quaternion", quaternion.data(), 4));
        }
        case kPowerStatus:
            return Needing(2, size, "power_status",
                           size < 2 ? JsonObject() : JsonObject().Integer("status", bytes[1]));
        case kTemperature:
            return Needing(
                5, size, "temperature",
                size < 5 ? JsonObject() : JsonObject().Float("temperature", Float(bytes + 1)));
        case kJointState:
            return State(bytes, size, "joint_state");
        case kEndEffectorState:
            return State(bytes, size, "state");
        case kHandleInfo:
            if (size < kHandleInfoSize) {
                return Incomplete();
            }
            return Complete(kHandleInfoSize, "handle_info",
                            JsonObject()
                                .Integer("tool_data_remaining", bytes[1])
                                .Integer("device_id", U16(bytes + 2))
                                .Integer("device_model_number", bytes[4])
                                .Integer("hardware_version", bytes[5])
                                .Integer("firmware_version", bytes[6]));
        case kStatus:
            return StatusCodeMessage(bytes, size, state);
        case kError:
            return Needing(kErrorResponseSize, size, "error_response",
                           size < kErrorResponseSize ? JsonObject()
                                                     : JsonObject()
                                                           .Integer("device_id", U16(bytes + 1))
                                                           .Integer("error_code", bytes[3]));
        default:
            return Invalid("unknown code");
    }
}

std::vector<std::uint8_t> WireProtocol::ReplyCodes(std::uint8_t request_code) {
    switch (request_code) {
        case kWakeup:
            return {kDeviceInfo, kHandleInfo};
        case kJointTorques:
        case kJointAngles:
            return {kJointState};
        case kEndEffectorForce:
        case kEndEffectorPosition:
            return {kEndEffectorState};
        case kIdentity:
        case kConfiguration:
        case kMotorCurrents:
        case kOrientation:
        case kPowerStatus:
        case kTemperature:
        case kStatus:
        case kError:
            return {request_code};
        default:
            return {};
    }
}

std::optional<DeviceKind> WireProtocol::KindOfRequest(std::uint8_t code) {
    switch (code) {
        case kIdentity:
        case kConfiguration:
        case kMotorCurrents:
        case kOrientation:
        case kPowerStatus:
        case kTemperature:
        case kJointTorques:
        case kJointAngles:
        case kEndEffectorForce:
        case kEndEffectorPosition:
            return DeviceKind::Arm;
        case kStatus:
        case kHandleState:
        case kError:
            return DeviceKind::Handle;
        default:
            return std::nullopt;
    }
}

std::optional<DeviceKind> WireProtocol::KindOfMessage(std::uint8_t code) {
    switch (code) {
        case kDeviceInfo:
        case kIdentity:
        case kConfiguration:
        case kMotorCurrents:
        case kOrientation:
        case kPowerStatus:
        case kTemperature:
        case kJointState:
        case kEndEffectorState:
            return DeviceKind::Arm;
        case kHandleInfo:
        case kStatus:
        case kError:
            return DeviceKind::Handle;
        default:
            return std::nullopt;
    }
}
