#pragma once

#include <cstdint>

#include "ByteWriter.h"
#include "HandleReading.h"

// The body of the handle's compact status packet, which follows its status code: 18 data
// bytes, SLIP-stuffed, then END.
class CompactPacket {
public:
    // Data byte 3 packs the hall level and the buttons.
    static std::uint8_t SensorByte(std::uint8_t hall_level, std::uint8_t buttons);

    // `sequence` counts packets in the last data byte, which hosts do not interpret; as it
    // runs through every value it makes the stream carry escapes regularly.
    static void Append(const HandleReading& reading, std::uint8_t device_id, std::uint8_t sequence,
                       ByteWriter& out);
};
