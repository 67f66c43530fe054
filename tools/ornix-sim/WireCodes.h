// The codes and sizes of the devices' wire protocol, named once for the virtual devices that
// speak it and for the recorder that decodes what passes between a host and a real device.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Wire {

// Both devices wake on this request.
constexpr std::uint8_t kWakeup = 0x0A;

// The arm's requests and replies.
constexpr std::uint8_t kDeviceInfo = 0x0B;
constexpr std::uint8_t kIdentity = 0x0D;
constexpr std::uint8_t kDeviceIdentifier = 0xD1;
constexpr std::uint8_t kFirmwareVersion = 0xD2;
constexpr std::uint8_t kMotorCurrents = 0xAB;
constexpr std::uint8_t kOrientation = 0x0C;
constexpr std::uint8_t kPowerStatus = 0xAC;
constexpr std::uint8_t kTemperature = 0xAA;
constexpr std::uint8_t kJointTorques = 0x1A;
constexpr std::uint8_t kJointAngles = 0x1C;
constexpr std::uint8_t kJointState = 0x1B;
constexpr std::uint8_t kEndEffectorForce = 0x2A;
constexpr std::uint8_t kEndEffectorPosition = 0x2C;
constexpr std::uint8_t kEndEffectorState = 0x2B;
constexpr std::uint8_t kConfiguration = 0x0E;
constexpr std::uint8_t kConfigE0 = 0xE0;
constexpr std::uint8_t kConfigE1 = 0xE1;
constexpr std::uint8_t kConfigE2 = 0xE2;
constexpr std::uint8_t kConfigE3 = 0xE3;
constexpr std::uint8_t kConfigRead = 0x00;
constexpr std::uint8_t kConfigWrite = 0x01;
// A motion request is its code and three floats.
constexpr std::size_t kMotionFrameSize = 13;
// The identity replies carry their 16 bytes after a length byte.
constexpr std::uint8_t kIdentityLength = 16;

// The handle's requests and messages. 0xDA asks for a status message, and opens status
// messages and compact packets alike.
constexpr std::uint8_t kHandleInfo = 0xD0;
constexpr std::uint8_t kStatus = 0xDA;
constexpr std::uint8_t kHandleState = 0xDB;
constexpr std::uint8_t kError = 0xDF;
// Device id, then the length byte of the data that follows it.
constexpr std::size_t kHandleStateHeaderSize = 4;
constexpr std::size_t kErrorRequestSize = 3;

// Compact status packets: SLIP-framed, 18 bytes of data, quaternion components as 16-bit
// fractions.
constexpr std::uint8_t kSlipEnd = 0xC0;
constexpr std::uint8_t kSlipEscape = 0xDB;
constexpr std::uint8_t kSlipEscapedEnd = 0xDC;
constexpr std::uint8_t kSlipEscapedEscape = 0xDD;
constexpr std::size_t kCompactDataSize = 18;
constexpr double kQuaternionScale = 32768.0;

}  // namespace Wire
