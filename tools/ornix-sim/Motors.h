#pragma once

#include "ArmKinematics.h"

// The arm's three motors as the host sees them electrically: the current each draws for its
// torque, and the winding temperature, which the currents heat and the air cools.
class Motors {
public:
    Motors();

    static Vec3 Currents(const Vec3& torques);

    // The torques are taken as constant over the interval.
    void Advance(double seconds, const Vec3& torques);
    double Temperature() const { return temperature_; }

private:
    double temperature_;
};
