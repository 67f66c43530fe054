#include "SafetyEnvelope.h"

#include <algorithm>
#include <cmath>

#include "ServoClock.h"

namespace Ornix::Companion {

SafetyEnvelope::SafetyEnvelope(const SafetyLimits& limits)
    : limits(limits), max_force(limits.max_force) {}

Vec3 SafetyEnvelope::Apply(Vec3 wanted, const Vec3& velocity, Nanoseconds now,
                           Nanoseconds last_exchange, Nanoseconds last_heard,
                           Telemetry& telemetry) {
    using Intervention = Telemetry::Intervention;
    const double elapsed = applied ? std::max(0.0, ServoClock::Seconds(now - last_applied)) : 0.0;
    last_applied = now;
    applied = true;

    if (!wanted.Finite()) {
        telemetry.Intervened(Intervention::NonFinite);
        wanted = {};
    }
    const double magnitude = wanted.Norm();
    const double most = max_force.load();
    if (magnitude > most) {
        telemetry.Intervened(Intervention::Clamped);
        wanted = wanted * (most / magnitude);
    }
    // A stretch without exchanges, or a stop for speed, begins the ramp anew: from zero at
    // this tick.
    const bool anew = now - last_exchange >= kStretch;
    if (anew) {
        factor = 0;
    }
    if (velocity.Norm() > limits.max_velocity) {
        telemetry.Intervened(Intervention::Overspeed);
        factor = 0;
        return {};
    }
    const bool lapsed = limits.heartbeat_seconds > 0 &&
                        ServoClock::Seconds(now - last_heard) > limits.heartbeat_seconds;
    if (lapsed) {
        telemetry.Intervened(Intervention::Heartbeat);
    }
    const double target = lapsed ? 0.0 : 1.0;
    if (limits.ramp_seconds <= 0) {
        factor = target;
    } else if (anew) {
    } else if (factor < target) {
        factor = std::min(target, factor + elapsed / limits.ramp_seconds);
    } else {
        factor = std::max(target, factor - elapsed / limits.ramp_seconds);
    }
    // Steps add up with rounding errors: a ramp that is all but done is done.
    constexpr double kDone = 1e-9;
    if (std::abs(factor - target) < kDone) {
        factor = target;
    }
    if (factor < 1 && magnitude > 0) {
        telemetry.Intervened(Intervention::Ramped);
    }
    return wanted * factor;
}

}  // namespace Ornix::Companion
