#include "Effects.h"

#include <algorithm>

namespace Ornix::Companion {

template <>
Vec3 Spring::ForceOf(const SpringParameters& p, const Vec3& position, const Vec3&) {
    return (position - p.rest) * -p.stiffness;
}

template <>
Vec3 Damper::ForceOf(const DamperParameters& p, const Vec3&, const Vec3& velocity) {
    return velocity * -p.viscosity;
}

template <>
Vec3 Wall::ForceOf(const WallParameters& p, const Vec3& position, const Vec3& velocity) {
    const double depth = (p.point - position).Dot(p.normal);
    if (depth <= 0) {
        return {};
    }
    const double inward = std::min(velocity.Dot(p.normal), 0.0);
    return p.normal * (p.stiffness * depth - p.damping * inward);
}

namespace {

// Along one axis: the push back into [low, high] of a coordinate outside it.
double Bounded(double low, double high, double at, double speed, double stiffness, double damping) {
    if (at < low) {
        return stiffness * (low - at) - damping * std::min(speed, 0.0);
    }
    if (at > high) {
        return -stiffness * (at - high) - damping * std::max(speed, 0.0);
    }
    return 0;
}

}  // namespace

template <>
Vec3 BoxBoundary::ForceOf(const BoxParameters& p, const Vec3& position, const Vec3& velocity) {
    return {Bounded(p.low.x, p.high.x, position.x, velocity.x, p.stiffness, p.damping),
            Bounded(p.low.y, p.high.y, position.y, velocity.y, p.stiffness, p.damping),
            Bounded(p.low.z, p.high.z, position.z, velocity.z, p.stiffness, p.damping)};
}

template <>
Vec3 SphereBoundary::ForceOf(const SphereParameters& p, const Vec3& position,
                             const Vec3& velocity) {
    const Vec3 offset = position - p.center;
    const double distance = offset.Norm();
    if (distance <= p.radius || distance == 0) {
        return {};
    }
    const Vec3 outward = offset * (1 / distance);
    const double outward_speed = std::max(velocity.Dot(outward), 0.0);
    return outward * -(p.stiffness * (distance - p.radius) + p.damping * outward_speed);
}

template <>
Vec3 ConstantForce::ForceOf(const ConstantParameters& p, const Vec3&, const Vec3&) {
    return p.force;
}

}  // namespace Ornix::Companion
