#include "UUID.h"

#include <cstring>

namespace Ornix::HardwareAPI {

namespace {
constexpr char kDigits[] = "0123456789abcdef";
}

void UUID::SetBytes(const uint8_t* source) { std::memmove(data.data(), source, kSize); }

std::ostream& UUID::Print(std::ostream& stream) const {
    for (size_t i = 0; i < kSize; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            stream << '-';
        }
        stream << kDigits[data[i] >> 4] << kDigits[data[i] & 0x0F];
    }
    return stream;
}

std::string UUID::PlainHex() const {
    std::string text(2 * kSize, '0');
    for (size_t i = 0; i < kSize; ++i) {
        text[2 * i] = kDigits[data[i] >> 4];
        text[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace Ornix::HardwareAPI
