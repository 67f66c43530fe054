// A vector of three doubles, for the forces, positions and velocities the servo loop computes
// with: the wire's floats are widened on the way in and narrowed only when a force is sent.
#pragma once

#include <array>
#include <cmath>

namespace Ornix::Companion {

struct Vec3 {
    double x = 0, y = 0, z = 0;

    template <typename Float>
    static Vec3 From(const std::array<Float, 3>& v) {
        return {static_cast<double>(v[0]), static_cast<double>(v[1]), static_cast<double>(v[2])};
    }
    std::array<float, 3> Floats() const {
        return {static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)};
    }

    Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vec3 operator*(double k) const { return {x * k, y * k, z * k}; }
    Vec3& operator+=(const Vec3& o) { return *this = *this + o; }
    bool operator==(const Vec3& o) const { return x == o.x && y == o.y && z == o.z; }
    double Dot(const Vec3& o) const { return x * o.x + y * o.y + z * o.z; }
    double Norm() const { return std::sqrt(Dot(*this)); }
    bool Finite() const { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); }
};

}  // namespace Ornix::Companion
