#include "SlipStuffing.h"

#include "WireCodes.h"

using namespace Wire;

bool SlipStuffing::NeedsEscape(std::uint8_t byte) {
    return byte == kSlipEnd || byte == kSlipEscape;
}

void SlipStuffing::AppendData(std::uint8_t byte, ByteWriter& out) {
    if (byte == kSlipEnd) {
        out.Byte(kSlipEscape);
        out.Byte(kSlipEscapedEnd);
    } else if (byte == kSlipEscape) {
        out.Byte(kSlipEscape);
        out.Byte(kSlipEscapedEscape);
    } else {
        out.Byte(byte);
    }
}

void SlipStuffing::AppendEnd(ByteWriter& out) { out.Byte(kSlipEnd); }
