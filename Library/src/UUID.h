// The 16-byte identifier a device reports about itself (the arm's firmware version travels in it
// too), kept exactly in wire order, with its canonical and plain hexadecimal text forms.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

namespace Ornix::HardwareAPI {

class UUID {
public:
    static constexpr size_t kSize = 16;

    // Copies 16 bytes from `source`, which may overlap `data`.
    void SetBytes(const uint8_t* source);

    // Canonical form, 8-4-4-4-12 lower-case digits, written one character at a time so that the
    // stream's number formatting cannot change it.
    std::ostream& Print(std::ostream& stream) const;

    // The 32 lower-case hex digits of the bytes in order, without separators.
    std::string PlainHex() const;

    std::array<uint8_t, kSize> data{};
};

static_assert(sizeof(UUID) == UUID::kSize && alignof(UUID) == 1, "a UUID is its 16 bytes");

}  // namespace Ornix::HardwareAPI
