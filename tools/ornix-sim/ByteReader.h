// Reads the little-endian fields of a frame: the counterpart of ByteWriter, for the virtual
// devices reading requests and the recorder reading both sides.
#pragma once

#include <cstdint>
#include <cstring>

namespace ByteReader {

inline std::uint16_t U16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

inline float Float(const std::uint8_t* bytes) {
    const std::uint32_t bits =
        static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
        static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace ByteReader
