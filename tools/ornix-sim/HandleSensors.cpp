#include "HandleSensors.h"

#include <algorithm>
#include <cmath>

#include "CompactPacket.h"
#include "SlipStuffing.h"
#include "WireCodes.h"

namespace {

using namespace Wire;

constexpr double kPi = 3.14159265358979323846;

// The handle yaws between about 15 and 165 degrees and tilts between about 3 and 37 degrees,
// so that every quaternion component stays positive: their high bytes then never need
// escaping.
constexpr double kYawCentre = kPi / 2;
constexpr double kYawSwing = 1.3;
constexpr double kYawPeriod = 20.0;
constexpr double kTiltCentre = 0.35;
constexpr double kTiltSwing = 0.3;
constexpr double kTiltPeriod = 7.0;

constexpr double kHallPeriod = 16.0;
constexpr int kHallLevels = 31;
constexpr double kButtonsPeriod = 3.0;
constexpr int kButtonPatterns = 8;
constexpr double kSecondsPerBatteryUnit = 12.0;
constexpr int kFullBattery = 255;

std::int16_t ClearOfStuffing(std::int16_t value) {
    auto bits = static_cast<std::uint16_t>(value);
    while (SlipStuffing::NeedsEscape(static_cast<std::uint8_t>(bits & 0xFF)) ||
           SlipStuffing::NeedsEscape(static_cast<std::uint8_t>(bits >> 8))) {
        --bits;
    }
    return static_cast<std::int16_t>(bits);
}

std::int16_t Component(double value) {
    const double scaled = std::min(std::round(value * kQuaternionScale), kQuaternionScale - 1);
    return ClearOfStuffing(static_cast<std::int16_t>(scaled));
}

}  // namespace

HandleReading HandleSensors::At(double seconds) {
    const double yaw = kYawCentre + kYawSwing * std::sin(2 * kPi * seconds / kYawPeriod);
    const double tilt = kTiltCentre + kTiltSwing * std::sin(2 * kPi * seconds / kTiltPeriod);
    const double yaw_cos = std::cos(yaw / 2);
    const double yaw_sin = std::sin(yaw / 2);
    const double tilt_cos = std::cos(tilt / 2);
    const double tilt_sin = std::sin(tilt / 2);

    HandleReading reading;
    // The tilt about x, then the yaw about z.
    reading.quaternion = {Component(yaw_cos * tilt_cos), Component(yaw_cos * tilt_sin),
                          Component(yaw_sin * tilt_sin), Component(yaw_sin * tilt_cos)};

    const double hall_phase = std::fmod(seconds, kHallPeriod) / kHallPeriod;
    reading.hall_level =
        static_cast<std::uint8_t>(std::lround(kHallLevels * (1 - std::abs(2 * hall_phase - 1))));
    reading.buttons = static_cast<std::uint8_t>(
        static_cast<long>(std::floor(seconds / kButtonsPeriod)) % kButtonPatterns);
    while (
        SlipStuffing::NeedsEscape(CompactPacket::SensorByte(reading.hall_level, reading.buttons))) {
        ++reading.hall_level;
    }

    int battery = kFullBattery - static_cast<int>(seconds / kSecondsPerBatteryUnit);
    battery = std::max(battery, 0);
    while (SlipStuffing::NeedsEscape(static_cast<std::uint8_t>(battery))) {
        --battery;
    }
    reading.battery = static_cast<std::uint8_t>(battery);
    return reading;
}
