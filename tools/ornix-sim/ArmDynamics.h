#pragma once

#include "ArmKinematics.h"

// The arm's mechanics: three joints with inertia, viscous damping and hard end stops, no
// gravity, moved by the motors according to the last command. Time is advanced by the caller
// and integrated in small fixed steps so that the stiff servos stay stable.
class ArmDynamics {
public:
    ArmDynamics();

    // The last command stays in force until the next one, as in the arm's motor controller.
    void HoldJointTorques(const Vec3& torques);
    void HoldEndEffectorForce(const Vec3& force);
    void ServoJointAngles(const Vec3& angles);
    void ServoEndEffectorPosition(const Vec3& position);

    void Advance(double seconds);

    const Vec3& JointAngles() const { return angles_; }
    const Vec3& JointVelocities() const { return velocities_; }
    Vec3 EndEffectorPosition() const;
    Vec3 EndEffectorVelocity() const;
    // What the motors exert now, after their torque limit.
    Vec3 MotorTorques() const;

private:
    enum class Mode { JointTorques, EndEffectorForce, JointAngles, EndEffectorPosition };

    void Step();

    Mode mode_ = Mode::JointTorques;
    Vec3 command_{};
    Vec3 angles_;
    Vec3 velocities_{};
    // Time handed in but not yet integrated, always less than one step.
    double unstepped_ = 0.0;
};
