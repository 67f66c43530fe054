#include "Motors.h"

#include <cmath>

namespace {

// Joint torque per ampere, the capstan reduction included.
constexpr double kTorqueConstant = 0.5;
constexpr double kAmbientCelsius = 25.0;
// Steady rise above ambient per A^2 summed over the motors: all three at their torque limit
// settle about 30 degrees above ambient.
constexpr double kRisePerSquareAmpere = 0.3;
constexpr double kThermalTimeConstant = 120.0;

}  // namespace

Motors::Motors() : temperature_(kAmbientCelsius) {}

Vec3 Motors::Currents(const Vec3& torques) {
    return {torques[0] / kTorqueConstant, torques[1] / kTorqueConstant,
            torques[2] / kTorqueConstant};
}

void Motors::Advance(double seconds, const Vec3& torques) {
    double squared_currents = 0.0;
    for (double current : Currents(torques)) {
        squared_currents += current * current;
    }
    const double settled = kAmbientCelsius + kRisePerSquareAmpere * squared_currents;
    // The exact first-order response, so that any interval length is handled in one go.
    temperature_ = settled + (temperature_ - settled) * std::exp(-seconds / kThermalTimeConstant);
}
