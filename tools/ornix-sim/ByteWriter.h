#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Appends the fields of an outgoing frame to a byte buffer, multi-byte values little-endian as
// the wire carries them, whatever the host machine's byte order.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}

    void Byte(std::uint8_t value) { bytes_.push_back(value); }
    void U16(std::uint16_t value);
    void I16(std::int16_t value);
    void Float(float value);
    void Bytes(const std::uint8_t* data, std::size_t size);

private:
    std::vector<std::uint8_t>& bytes_;
};
