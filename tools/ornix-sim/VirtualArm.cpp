#include "VirtualArm.h"

#include <cmath>
#include <cstring>

#include "ByteReader.h"
#include "WireCodes.h"

namespace {

using namespace Wire;

// Hosts recognise an Ostrel3 by this model number.
constexpr std::uint8_t kModelNumber = 4;
constexpr std::uint8_t kHardwareVersion = 2;
constexpr std::uint8_t kFirmwareVersionNumber = 7;
constexpr std::uint8_t kDeviceUuid[kIdentityLength] = {
    0x6f, 0x72, 0x6e, 0x78, 0x53, 0x49, 0x4d, 0x41, 0x81, 0x2d, 0x7a, 0x10, 0x3c, 0x55, 0x00, 0x01};
constexpr char kFirmwareText[kIdentityLength + 1] = "ornix-sim arm 1";
constexpr std::uint8_t kConfigE0Value = 3;
constexpr std::uint8_t kPowered = 0x01;

// A command that is not a number would poison the simulated arm for good; it counts as zero.
Vec3 ReadCommand(const std::uint8_t* bytes) {
    Vec3 command;
    for (std::size_t i = 0; i < 3; ++i) {
        const float value = ByteReader::Float(bytes + 4 * i);
        command[i] = std::isfinite(value) ? value : 0.0;
    }
    return command;
}

void WriteVector(ByteWriter& reply, const Vec3& values) {
    for (double value : values) {
        reply.Float(static_cast<float>(value));
    }
}

}  // namespace

VirtualArm::VirtualArm(std::uint16_t device_id)
    : caught_up_(std::chrono::steady_clock::now()), device_id_(device_id) {}

std::size_t VirtualArm::Serve(const std::uint8_t* input, std::size_t size, ByteWriter& reply) {
    switch (input[0]) {
        case kWakeup:
            reply.Byte(kDeviceInfo);
            reply.U16(device_id_);
            reply.Byte(kModelNumber);
            reply.Byte(kHardwareVersion);
            reply.Byte(kFirmwareVersionNumber);
            reply.Bytes(kDeviceUuid, sizeof kDeviceUuid);
            return 1;
        case kIdentity:
            return ServeIdentity(input, size, reply);
        case kConfiguration:
            return ServeConfiguration(input, size, reply);
        case kMotorCurrents:
            CatchUp();
            reply.Byte(kMotorCurrents);
            WriteVector(reply, Motors::Currents(arm_.MotorTorques()));
            return 1;
        case kOrientation:
            // The base stands level: the identity rotation, w first.
            reply.Byte(kOrientation);
            reply.Float(1.0f);
            reply.Float(0.0f);
            reply.Float(0.0f);
            reply.Float(0.0f);
            return 1;
        case kPowerStatus:
            reply.Byte(kPowerStatus);
            reply.Byte(kPowered);
            return 1;
        case kTemperature:
            CatchUp();
            reply.Byte(kTemperature);
            reply.Float(static_cast<float>(motors_.Temperature()));
            return 1;
        case kJointTorques:
        case kJointAngles:
        case kEndEffectorForce:
        case kEndEffectorPosition:
            return ServeMotion(input, size, reply);
        default:
            return 1;
    }
}

std::size_t VirtualArm::ServeIdentity(const std::uint8_t* input, std::size_t size,
                                      ByteWriter& reply) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t* identity;
    if (input[1] == kDeviceIdentifier) {
        identity = kDeviceUuid;
    } else if (input[1] == kFirmwareVersion) {
        identity = reinterpret_cast<const std::uint8_t*>(kFirmwareText);
    } else {
        return 1;
    }
    reply.Byte(kIdentity);
    reply.Byte(input[1]);
    reply.Byte(kIdentityLength);
    reply.Bytes(identity, kIdentityLength);
    return 2;
}

std::size_t VirtualArm::ServeConfiguration(const std::uint8_t* input, std::size_t size,
                                           ByteWriter& reply) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t value_code = input[1];
    if (value_code == kConfigE0) {
        reply.Byte(kConfiguration);
        reply.Byte(kConfigE0);
        reply.Byte(kConfigE0Value);
        return 2;
    }
    if (value_code != kConfigE1 && value_code != kConfigE2 && value_code != kConfigE3) {
        return 1;
    }
    if (size < 3) {
        return 0;
    }
    std::size_t frame_size = 3;
    if (input[2] == kConfigWrite) {
        frame_size += value_code == kConfigE1 ? 5 : 1;
        if (size < frame_size) {
            return 0;
        }
        if (value_code == kConfigE1) {
            config_e1_byte_ = input[3];
            config_e1_float_ = ByteReader::Float(input + 4);
        } else {
            (value_code == kConfigE2 ? config_e2_ : config_e3_) = input[3];
        }
    } else if (input[2] != kConfigRead) {
        return 1;
    }
    reply.Byte(kConfiguration);
    reply.Byte(value_code);
    if (value_code == kConfigE1) {
        reply.Byte(config_e1_byte_);
        reply.Float(config_e1_float_);
    } else {
        reply.Byte(value_code == kConfigE2 ? config_e2_ : config_e3_);
    }
    return frame_size;
}

std::size_t VirtualArm::ServeMotion(const std::uint8_t* input, std::size_t size,
                                    ByteWriter& reply) {
    if (size < kMotionFrameSize) {
        return 0;
    }
    // The reply reports the arm as it is when the command arrives; the command then acts
    // until the next one.
    CatchUp();
    const Vec3 command = ReadCommand(input + 1);
    const bool joint_space = input[0] == kJointTorques || input[0] == kJointAngles;
    if (joint_space) {
        reply.Byte(kJointState);
        WriteVector(reply, arm_.JointAngles());
        WriteVector(reply, arm_.JointVelocities());
    } else {
        reply.Byte(kEndEffectorState);
        WriteVector(reply, arm_.EndEffectorPosition());
        WriteVector(reply, arm_.EndEffectorVelocity());
    }
    switch (input[0]) {
        case kJointTorques:
            arm_.HoldJointTorques(command);
            break;
        case kJointAngles:
            arm_.ServoJointAngles(command);
            break;
        case kEndEffectorForce:
            arm_.HoldEndEffectorForce(command);
            break;
        default:
            arm_.ServoEndEffectorPosition(command);
            break;
    }
    return kMotionFrameSize;
}

void VirtualArm::CatchUp() {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - caught_up_).count();
    caught_up_ = now;
    motors_.Advance(seconds, arm_.MotorTorques());
    arm_.Advance(seconds);
}
