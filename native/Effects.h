// The effects a program composes, each an EffectWith its parameter record: forces in newtons,
// positions in metres in the arm's frame, stiffness in N/m, damping and viscosity in N s/m.
#pragma once

#include "Effect.h"

namespace Ornix::Companion {

// Pulls the end effector to a rest point: -stiffness (position - rest).
struct SpringParameters {
    double stiffness = 0;
    Vec3 rest;
};
using Spring = EffectWith<SpringParameters>;

// Resists motion: -viscosity velocity.
struct DamperParameters {
    double viscosity = 0;
};
using Damper = EffectWith<DamperParameters>;

// A plane through `point` that the end effector may not pass against `normal` (a unit vector
// pointing out of the wall): behind it a spring pushes back along the normal, and a damper
// resists motion into the wall, not out of it.
struct WallParameters {
    Vec3 point;
    Vec3 normal{0, 0, 1};
    double stiffness = 0;
    double damping = 0;
};
using Wall = EffectWith<WallParameters>;

// Keeps the end effector inside the box between two corners: on each axis outside it, a spring
// pushes back and a damper resists motion farther out.
struct BoxParameters {
    Vec3 low;
    Vec3 high;
    double stiffness = 0;
    double damping = 0;
};
using BoxBoundary = EffectWith<BoxParameters>;

// Keeps the end effector inside a sphere, as the box does.
struct SphereParameters {
    Vec3 center;
    double radius = 0;
    double stiffness = 0;
    double damping = 0;
};
using SphereBoundary = EffectWith<SphereParameters>;

// The same force everywhere.
struct ConstantParameters {
    Vec3 force;
};
using ConstantForce = EffectWith<ConstantParameters>;

// Defined in Effects.cpp.
template <>
Vec3 Spring::ForceOf(const SpringParameters&, const Vec3&, const Vec3&);
template <>
Vec3 Damper::ForceOf(const DamperParameters&, const Vec3&, const Vec3&);
template <>
Vec3 Wall::ForceOf(const WallParameters&, const Vec3&, const Vec3&);
template <>
Vec3 BoxBoundary::ForceOf(const BoxParameters&, const Vec3&, const Vec3&);
template <>
Vec3 SphereBoundary::ForceOf(const SphereParameters&, const Vec3&, const Vec3&);
template <>
Vec3 ConstantForce::ForceOf(const ConstantParameters&, const Vec3&, const Vec3&);

}  // namespace Ornix::Companion
