#pragma once

#include "HandleReading.h"

// What the handle's sensors read at a given time since power-on: a slowly swaying
// orientation, a drifting hall sensor level, buttons pressed in turn and a slowly draining
// battery. Readings come at the sensors' own resolution and are kept clear of the bytes that
// compact packets would have to escape, since hosts accept an escape only in a packet's last
// data byte.
class HandleSensors {
public:
    static HandleReading At(double seconds);
};
