#include "CompactPacket.h"

#include <array>
#include <cstddef>

#include "SlipStuffing.h"
#include "WireCodes.h"

namespace {

using namespace Wire;

constexpr std::size_t kErrorFlagByte = 2;
constexpr std::size_t kSensorByte = 3;
constexpr std::size_t kDeviceIdByte = 4;
constexpr std::size_t kQuaternionByte = 8;
constexpr std::size_t kBatteryByte = 16;
constexpr std::size_t kSequenceByte = 17;
constexpr unsigned kButtonsShift = 5;
constexpr std::uint8_t kHallMask = 0x1F;
constexpr std::uint8_t kNoError = 0;

}  // namespace

std::uint8_t CompactPacket::SensorByte(std::uint8_t hall_level, std::uint8_t buttons) {
    return static_cast<std::uint8_t>((hall_level & kHallMask) | buttons << kButtonsShift);
}

void CompactPacket::Append(const HandleReading& reading, std::uint8_t device_id,
                           std::uint8_t sequence, ByteWriter& out) {
    // The bytes that carry nothing stay zero.
    std::array<std::uint8_t, kCompactDataSize> data{};
    data[kErrorFlagByte] = kNoError;
    data[kSensorByte] = SensorByte(reading.hall_level, reading.buttons);
    data[kDeviceIdByte] = device_id;
    for (std::size_t i = 0; i < reading.quaternion.size(); ++i) {
        const auto component = static_cast<std::uint16_t>(reading.quaternion[i]);
        data[kQuaternionByte + 2 * i] = static_cast<std::uint8_t>(component & 0xFF);
        data[kQuaternionByte + 2 * i + 1] = static_cast<std::uint8_t>(component >> 8);
    }
    data[kBatteryByte] = reading.battery;
    data[kSequenceByte] = sequence;
    for (std::uint8_t byte : data) {
        SlipStuffing::AppendData(byte, out);
    }
    SlipStuffing::AppendEnd(out);
}
