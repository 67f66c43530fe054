#pragma once

#include <array>
#include <cstdint>

// What the handle's sensors read at one moment, at the resolution its messages carry: the
// record the sensors produce and the handle's messages encode.
struct HandleReading {
    // w, x, y, z, in units of 1/32768.
    std::array<std::int16_t, 4> quaternion;
    // 0 to 31.
    std::uint8_t hall_level;
    // One bit per button, 0 to 7.
    std::uint8_t buttons;
    // Battery voltage 3.0 V + 5 mV per unit.
    std::uint8_t battery;
};
