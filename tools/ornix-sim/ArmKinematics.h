#pragma once

#include <array>

using Vec3 = std::array<double, 3>;

// Where the arm's end effector is for given joint angles, and how joint motion moves it. Joints:
// base yaw about +z, shoulder pitch (elevation of the upper link above the x-y plane), elbow
// pitch (of the forearm relative to the upper link). The origin is the shoulder joint, x points
// forward, y to the left, z up; lengths in metres.
class ArmKinematics {
public:
    struct Pose {
        Vec3 position;
        // jacobian[i][j]: change of position component i per radian of joint j.
        std::array<Vec3, 3> jacobian;
    };

    static constexpr double kUpperLinkLength = 0.15;
    static constexpr double kForearmLength = 0.15;

    static Pose At(const Vec3& joint_angles);
    static Vec3 Velocity(const Pose& pose, const Vec3& joint_velocities);
    // The joint torques that exert `force` at the end effector (the Jacobian transpose).
    static Vec3 JointTorques(const Pose& pose, const Vec3& force);
};
