#include "ArmKinematics.h"

#include <cmath>

ArmKinematics::Pose ArmKinematics::At(const Vec3& joint_angles) {
    const double yaw_cos = std::cos(joint_angles[0]);
    const double yaw_sin = std::sin(joint_angles[0]);
    const double upper_cos = std::cos(joint_angles[1]);
    const double upper_sin = std::sin(joint_angles[1]);
    const double fore_cos = std::cos(joint_angles[1] + joint_angles[2]);
    const double fore_sin = std::sin(joint_angles[1] + joint_angles[2]);

    // The two pitch joints move the end effector in the arm's vertical plane: `reach` along
    // the floor from the yaw axis, `height` above the shoulder.
    const double reach = kUpperLinkLength * upper_cos + kForearmLength * fore_cos;
    const double height = kUpperLinkLength * upper_sin + kForearmLength * fore_sin;
    const double reach_by_shoulder = -kUpperLinkLength * upper_sin - kForearmLength * fore_sin;
    const double reach_by_elbow = -kForearmLength * fore_sin;
    const double height_by_shoulder = kUpperLinkLength * upper_cos + kForearmLength * fore_cos;
    const double height_by_elbow = kForearmLength * fore_cos;

    Pose pose;
    pose.position = {reach * yaw_cos, reach * yaw_sin, height};
    pose.jacobian[0] = {-reach * yaw_sin, reach_by_shoulder * yaw_cos, reach_by_elbow * yaw_cos};
    pose.jacobian[1] = {reach * yaw_cos, reach_by_shoulder * yaw_sin, reach_by_elbow * yaw_sin};
    pose.jacobian[2] = {0.0, height_by_shoulder, height_by_elbow};
    return pose;
}

Vec3 ArmKinematics::Velocity(const Pose& pose, const Vec3& joint_velocities) {
    Vec3 velocity{};
    for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            velocity[i] += pose.jacobian[i][j] * joint_velocities[j];
        }
    }
    return velocity;
}

Vec3 ArmKinematics::JointTorques(const Pose& pose, const Vec3& force) {
    Vec3 torques{};
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t i = 0; i < 3; ++i) {
            torques[j] += pose.jacobian[i][j] * force[i];
        }
    }
    return torques;
}
