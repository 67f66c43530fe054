#pragma once

#include <array>
#include <cstdint>

// What the handle's sensors read at a given time since power-on: a slowly swaying
// orientation, a drifting hall sensor level, buttons pressed in turn and a slowly draining
// battery. Readings come at the sensors' own resolution and are kept clear of the bytes that
// compact packets would have to escape, since hosts accept an escape only in a packet's last
// data byte.
class HandleSensors {
public:
    struct Reading {
        // w, x, y, z, in units of 1/32768.
        std::array<std::int16_t, 4> quaternion;
        // 0 to 31.
        std::uint8_t hall_level;
        // One bit per button, 0 to 7.
        std::uint8_t buttons;
        // Battery voltage 3.0 V + 5 mV per unit.
        std::uint8_t battery;
    };

    static Reading At(double seconds);
};
