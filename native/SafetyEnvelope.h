// The limits below everything a program computes, on by default: every force the servo loop
// sends passes through here. A force that is not finite becomes zero; its magnitude is clamped
// to the maximum; above the maximum speed no force is sent; forces ramp in from zero after the
// loop starts, after a stretch without exchanges and after a stop for speed; a program not heard
// from for the heartbeat's time has its force ramped to zero. Each intervention is counted.
#pragma once

#include <atomic>
#include <chrono>
#include <limits>

#include "Telemetry.h"
#include "Vec3.h"

namespace Ornix::Companion {

struct SafetyLimits {
    // The default maximum, in newtons: a force a hand holds without effort, and well below what
    // the arm's motors give at full reach (3 N m over 0.3 m, 10 N), so that a program's mistake
    // pushes the hand firmly but cannot slam it.
    static constexpr double kDefaultMaxForce = 5.0;

    double max_force = kDefaultMaxForce;
    double ramp_seconds = 0.5;
    // Metres per second; infinite for no limit.
    double max_velocity = std::numeric_limits<double>::infinity();
    // Seconds; 0 for none.
    double heartbeat_seconds = 0;
};

class SafetyEnvelope {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    // Exchanges missing for this long count as a stretch without exchanges.
    static constexpr Nanoseconds kStretch = std::chrono::milliseconds(50);

    // The limits must be valid: a finite positive maximum force, a finite ramp of 0 or more, a
    // positive maximum speed, a finite heartbeat of 0 or more.
    explicit SafetyEnvelope(const SafetyLimits& limits);

    // A program may change the maximum force while the loop runs; it must be valid.
    void SetMaxForce(double newtons) { max_force.store(newtons); }
    double MaxForce() const { return max_force.load(); }

    // From now on forces ramp in from zero.
    void RampFromZero() {
        factor = 0;
        applied = false;
    }
    // The force to send at `now` in place of `wanted`, given the arm's last velocity, when the
    // last exchange succeeded and when the program was last heard of.
    Vec3 Apply(Vec3 wanted, const Vec3& velocity, Nanoseconds now, Nanoseconds last_exchange,
               Nanoseconds last_heard, Telemetry& telemetry);

private:
    SafetyLimits limits;
    std::atomic<double> max_force;
    // What the force is scaled by: 0 while ramped down, 1 when fully in.
    double factor = 0;
    Nanoseconds last_applied{};
    bool applied = false;
};

}  // namespace Ornix::Companion
