// Reading and writing the little-endian fields of device frames, whatever the host's byte order.
#pragma once

#include <cstdint>
#include <cstring>

namespace Ornix::HardwareAPI::Devices {

class LittleEndian {
public:
    static uint16_t ReadU16(const uint8_t* bytes) {
        return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    }

    static float ReadFloat(const uint8_t* bytes) {
        const uint32_t image =
            static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
            (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
        float value;
        std::memcpy(&value, &image, sizeof value);
        return value;
    }

    static void WriteU16(uint8_t* bytes, uint16_t value) {
        bytes[0] = static_cast<uint8_t>(value);
        bytes[1] = static_cast<uint8_t>(value >> 8);
    }

    static void WriteFloat(uint8_t* bytes, float value) {
        uint32_t image;
        std::memcpy(&image, &value, sizeof image);
        for (int i = 0; i < 4; ++i) {
            bytes[i] = static_cast<uint8_t>(image >> (8 * i));
        }
    }
};

}  // namespace Ornix::HardwareAPI::Devices
