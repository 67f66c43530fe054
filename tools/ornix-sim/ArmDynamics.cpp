#include "ArmDynamics.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Integration step: 4 kHz, a haptic servo rate, far inside the stability bound of the stiffest
// servo below.
constexpr double kStep = 0.25e-3;
// A host that pauses longer finds the arm where this much motion takes it: with the damping
// time of 0.1 s that is at rest unless a force still pushes it, and it bounds the work one
// request can cause.
constexpr double kLongestAdvance = 1.0;

// Joint order: base yaw, shoulder, elbow. Inertia in kg m^2, damping in N m s/rad: each joint
// coasts to rest with a time constant of 0.1 s.
constexpr Vec3 kInertia = {5e-3, 5e-3, 2.5e-3};
constexpr Vec3 kDamping = {0.05, 0.05, 0.025};
constexpr Vec3 kLowerLimit = {-kPi / 2, -0.6, -2.6};
// The elbow stops short of a straight arm, where the end effector could not move outwards.
constexpr Vec3 kUpperLimit = {kPi / 2, 1.6, -0.3};
constexpr double kMotorTorqueLimit = 3.0;

// Joint-angle servo, N m/rad and N m s/rad.
constexpr double kJointStiffness = 20.0;
constexpr double kJointDamping = 0.4;
// End-effector position servo, N/m and N s/m.
constexpr double kPositionStiffness = 2000.0;
constexpr double kPositionDamping = 20.0;

// Upper link raised 45 degrees, forearm lowered 45 degrees: the end effector sits at shoulder
// height in front of the base.
constexpr Vec3 kRestAngles = {0.0, kPi / 4, -kPi / 2};

}  // namespace

ArmDynamics::ArmDynamics() : angles_(kRestAngles) {}

void ArmDynamics::HoldJointTorques(const Vec3& torques) {
    mode_ = Mode::JointTorques;
    command_ = torques;
}

void ArmDynamics::HoldEndEffectorForce(const Vec3& force) {
    mode_ = Mode::EndEffectorForce;
    command_ = force;
}

void ArmDynamics::ServoJointAngles(const Vec3& angles) {
    mode_ = Mode::JointAngles;
    command_ = angles;
}

void ArmDynamics::ServoEndEffectorPosition(const Vec3& position) {
    mode_ = Mode::EndEffectorPosition;
    command_ = position;
}

void ArmDynamics::Advance(double seconds) {
    unstepped_ += std::clamp(seconds, 0.0, kLongestAdvance);
    while (unstepped_ >= kStep) {
        Step();
        unstepped_ -= kStep;
    }
}

Vec3 ArmDynamics::EndEffectorPosition() const { return ArmKinematics::At(angles_).position; }

Vec3 ArmDynamics::EndEffectorVelocity() const {
    return ArmKinematics::Velocity(ArmKinematics::At(angles_), velocities_);
}

Vec3 ArmDynamics::MotorTorques() const {
    Vec3 torques{};
    switch (mode_) {
        case Mode::JointTorques:
            torques = command_;
            break;
        case Mode::EndEffectorForce:
            torques = ArmKinematics::JointTorques(ArmKinematics::At(angles_), command_);
            break;
        case Mode::JointAngles:
            for (std::size_t j = 0; j < 3; ++j) {
                torques[j] =
                    kJointStiffness * (command_[j] - angles_[j]) - kJointDamping * velocities_[j];
            }
            break;
        case Mode::EndEffectorPosition: {
            const ArmKinematics::Pose pose = ArmKinematics::At(angles_);
            const Vec3 velocity = ArmKinematics::Velocity(pose, velocities_);
            Vec3 force;
            for (std::size_t i = 0; i < 3; ++i) {
                force[i] = kPositionStiffness * (command_[i] - pose.position[i]) -
                           kPositionDamping * velocity[i];
            }
            torques = ArmKinematics::JointTorques(pose, force);
            break;
        }
    }
    for (double& torque : torques) {
        torque = std::clamp(torque, -kMotorTorqueLimit, kMotorTorqueLimit);
    }
    return torques;
}

void ArmDynamics::Step() {
    const Vec3 torques = MotorTorques();
    for (std::size_t j = 0; j < 3; ++j) {
        // Semi-implicit Euler: the new velocity moves the joint, which keeps the servo loop
        // from gaining energy.
        velocities_[j] += kStep * (torques[j] - kDamping[j] * velocities_[j]) / kInertia[j];
        angles_[j] += kStep * velocities_[j];
        // An end stop absorbs the motion into it.
        if (angles_[j] < kLowerLimit[j]) {
            angles_[j] = kLowerLimit[j];
            velocities_[j] = std::max(velocities_[j], 0.0);
        } else if (angles_[j] > kUpperLimit[j]) {
            angles_[j] = kUpperLimit[j];
            velocities_[j] = std::min(velocities_[j], 0.0);
        }
    }
}
