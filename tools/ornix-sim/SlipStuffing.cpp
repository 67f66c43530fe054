#include "SlipStuffing.h"

namespace {

constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEscape = 0xDB;
constexpr std::uint8_t kEscapedEnd = 0xDC;
constexpr std::uint8_t kEscapedEscape = 0xDD;

}  // namespace

bool SlipStuffing::NeedsEscape(std::uint8_t byte) { return byte == kEnd || byte == kEscape; }

void SlipStuffing::AppendData(std::uint8_t byte, ByteWriter& out) {
    if (byte == kEnd) {
        out.Byte(kEscape);
        out.Byte(kEscapedEnd);
    } else if (byte == kEscape) {
        out.Byte(kEscape);
        out.Byte(kEscapedEscape);
    } else {
        out.Byte(byte);
    }
}

void SlipStuffing::AppendEnd(ByteWriter& out) { out.Byte(kEnd); }
