#include "ByteWriter.h"

#include <cstring>

void ByteWriter::U16(std::uint16_t value) {
    Byte(static_cast<std::uint8_t>(value & 0xFF));
    Byte(static_cast<std::uint8_t>(value >> 8));
}

void ByteWriter::I16(std::int16_t value) { U16(static_cast<std::uint16_t>(value)); }

void ByteWriter::Float(float value) {
    std::uint32_t bits;
    static_assert(sizeof bits == sizeof value, "floats travel as IEEE 754 binary32");
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) {
        Byte(static_cast<std::uint8_t>(bits >> shift));
    }
}

void ByteWriter::Bytes(const std::uint8_t* data, std::size_t size) {
    bytes_.insert(bytes_.end(), data, data + size);
}
