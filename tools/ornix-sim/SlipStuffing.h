#pragma once

#include <cstdint>

#include "ByteWriter.h"

// SLIP byte stuffing (RFC 1055) as the handle frames its compact status packets: the END byte
// closes a packet, and data bytes equal to END or ESC travel as two-byte escapes.
class SlipStuffing {
public:
    static bool NeedsEscape(std::uint8_t byte);
    static void AppendData(std::uint8_t byte, ByteWriter& out);
    static void AppendEnd(ByteWriter& out);
};
