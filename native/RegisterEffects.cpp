// The effects as Python classes: each built from its parameters, which are its attributes too
// and may be changed while a loop applies it. Every value is checked, so that no effect can
// give the loop a force that is not a number.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <string>

#include "Companion.h"
#include "Effects.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using Triple = std::array<double, 3>;

std::string Shown(double value) { return py::repr(py::float_(value)).cast<std::string>(); }

double Finite(double value, const char* name) {
    if (!std::isfinite(value)) {
        throw py::value_error(std::string(name) + " must be a finite number, not " + Shown(value));
    }
    return value;
}

Vec3 Point(const Triple& value, const char* name) {
    return {Finite(value[0], name), Finite(value[1], name), Finite(value[2], name)};
}

Vec3 Direction(const Triple& value, const char* name) {
    const Vec3 direction = Point(value, name);
    const double length = direction.Norm();
    if (!(length > 0) || !std::isfinite(length)) {
        throw py::value_error(std::string(name) + " must be a direction, not the zero vector");
    }
    return direction * (1 / length);
}

py::tuple Numbers(const Vec3& v) { return py::make_tuple(v.x, v.y, v.z); }

std::string Shown(const Vec3& v) {
    return "(" + Shown(v.x) + ", " + Shown(v.y) + ", " + Shown(v.z) + ")";
}

// A parameter of an effect as a property: read from, and written into, its record.
template <typename Value, typename E, typename Get, typename Set>
void Parameter(py::class_<E, Effect>& cls, const char* name, Get get, Set set, const char* doc) {
    cls.def_property(
        name, [get](const E& effect) { return get(effect.Get()); },
        [set](E& effect, const Value& value) {
            typename E::Parameters changed = effect.Get();
            set(changed, value);
            effect.Set(changed);
        },
        doc);
}

}  // namespace

double NotNegative(double value, const char* name) {
    if (!std::isfinite(value) || value < 0) {
        throw py::value_error(std::string(name) + " must be a finite number of 0 or more, not " +
                              Shown(value));
    }
    return value;
}

double Positive(double value, const char* name) {
    if (!std::isfinite(value) || value <= 0) {
        throw py::value_error(std::string(name) + " must be a finite number above 0, not " +
                              Shown(value));
    }
    return value;
}

py::buffer_info Doubles(py::buffer buffer, size_t count, const char* method) {
    py::buffer_info info = buffer.request(true);
    if (info.format != py::format_descriptor<double>::format() || info.ndim != 1 ||
        info.shape[0] < static_cast<py::ssize_t>(count)) {
        throw py::value_error(std::string(method) + " needs a buffer of at least " +
                              std::to_string(count) + " doubles");
    }
    return info;
}

void RegisterEffects(py::module_& m) {
    py::class_<Effect>(m, "Effect", "A force field a servo loop applies.");

    py::class_<Spring, Effect> spring(m, "Spring",
                                      "Pulls the end effector to a rest point: "
                                      "-stiffness (position - rest), in N/m and m.");
    spring.def(py::init([](double stiffness, const Triple& rest) {
                   return std::make_unique<Spring>(
                       SpringParameters{NotNegative(stiffness, "stiffness"), Point(rest, "rest")});
               }),
               py::arg("stiffness"), py::arg("rest"));
    Parameter<double>(
        spring, "stiffness", [](const SpringParameters& p) { return p.stiffness; },
        [](SpringParameters& p, double v) { p.stiffness = NotNegative(v, "stiffness"); }, "N/m");
    Parameter<Triple>(
        spring, "rest", [](const SpringParameters& p) { return Numbers(p.rest); },
        [](SpringParameters& p, const Triple& v) { p.rest = Point(v, "rest"); }, "m");
    spring.def("__repr__", [](const Spring& s) {
        const SpringParameters p = s.Get();
        return "Spring(stiffness=" + Shown(p.stiffness) + ", rest=" + Shown(p.rest) + ")";
    });

    py::class_<Damper, Effect> damper(m, "Damper",
                                      "Resists motion: -viscosity velocity, in N s/m.");
    damper.def(
        py::init([](double viscosity) {
            return std::make_unique<Damper>(DamperParameters{NotNegative(viscosity, "viscosity")});
        }),
        py::arg("viscosity"));
    Parameter<double>(
        damper, "viscosity", [](const DamperParameters& p) { return p.viscosity; },
        [](DamperParameters& p, double v) { p.viscosity = NotNegative(v, "viscosity"); }, "N s/m");
    damper.def("__repr__", [](const Damper& d) {
        return "Damper(viscosity=" + Shown(d.Get().viscosity) + ")";
    });

    py::class_<Wall, Effect> wall(
        m, "Wall",
        "A plane through `point` that the end effector may not pass against `normal` (pointing "
        "out of the wall): behind it a spring of `stiffness` N/m pushes back along the normal, "
        "and a damper of `damping` N s/m resists motion into the wall.");
    wall.def(
        py::init([](const Triple& point, const Triple& normal, double stiffness, double damping) {
            return std::make_unique<Wall>(WallParameters{
                Point(point, "point"), Direction(normal, "normal"),
                NotNegative(stiffness, "stiffness"), NotNegative(damping, "damping")});
        }),
        py::arg("point"), py::arg("normal"), py::arg("stiffness"), py::arg("damping") = 0.0);
    Parameter<Triple>(
        wall, "point", [](const WallParameters& p) { return Numbers(p.point); },
        [](WallParameters& p, const Triple& v) { p.point = Point(v, "point"); }, "m");
    Parameter<Triple>(
        wall, "normal", [](const WallParameters& p) { return Numbers(p.normal); },
        [](WallParameters& p, const Triple& v) { p.normal = Direction(v, "normal"); },
        "a unit vector: one given is scaled to length 1");
    Parameter<double>(
        wall, "stiffness", [](const WallParameters& p) { return p.stiffness; },
        [](WallParameters& p, double v) { p.stiffness = NotNegative(v, "stiffness"); }, "N/m");
    Parameter<double>(
        wall, "damping", [](const WallParameters& p) { return p.damping; },
        [](WallParameters& p, double v) { p.damping = NotNegative(v, "damping"); }, "N s/m");
    wall.def("__repr__", [](const Wall& w) {
        const WallParameters p = w.Get();
        return "Wall(point=" + Shown(p.point) + ", normal=" + Shown(p.normal) +
               ", stiffness=" + Shown(p.stiffness) + ", damping=" + Shown(p.damping) + ")";
    });

    py::class_<BoxBoundary, Effect> box(
        m, "BoxBoundary",
        "Keeps the end effector inside the box between the corners `low` and `high`: on each "
        "axis outside it a spring pushes back and a damper resists motion farther out.");
    const auto corners = [](const Vec3& low, const Vec3& high) {
        if (!(low.x < high.x && low.y < high.y && low.z < high.z)) {
            throw py::value_error("low must be below high on every axis");
        }
    };
    box.def(py::init(
                [corners](const Triple& low, const Triple& high, double stiffness, double damping) {
                    BoxParameters p{Point(low, "low"), Point(high, "high"),
                                    NotNegative(stiffness, "stiffness"),
                                    NotNegative(damping, "damping")};
                    corners(p.low, p.high);
                    return std::make_unique<BoxBoundary>(p);
                }),
            py::arg("low"), py::arg("high"), py::arg("stiffness"), py::arg("damping") = 0.0);
    Parameter<Triple>(
        box, "low", [](const BoxParameters& p) { return Numbers(p.low); },
        [corners](BoxParameters& p, const Triple& v) {
            corners(Point(v, "low"), p.high);
            p.low = Point(v, "low");
        },
        "m");
    Parameter<Triple>(
        box, "high", [](const BoxParameters& p) { return Numbers(p.high); },
        [corners](BoxParameters& p, const Triple& v) {
            corners(p.low, Point(v, "high"));
            p.high = Point(v, "high");
        },
        "m");
    Parameter<double>(
        box, "stiffness", [](const BoxParameters& p) { return p.stiffness; },
        [](BoxParameters& p, double v) { p.stiffness = NotNegative(v, "stiffness"); }, "N/m");
    Parameter<double>(
        box, "damping", [](const BoxParameters& p) { return p.damping; },
        [](BoxParameters& p, double v) { p.damping = NotNegative(v, "damping"); }, "N s/m");
    box.def("__repr__", [](const BoxBoundary& b) {
        const BoxParameters p = b.Get();
        return "BoxBoundary(low=" + Shown(p.low) + ", high=" + Shown(p.high) +
               ", stiffness=" + Shown(p.stiffness) + ", damping=" + Shown(p.damping) + ")";
    });

    py::class_<SphereBoundary, Effect> sphere(
        m, "SphereBoundary",
        "Keeps the end effector inside the sphere of `radius` about `center`: outside it a "
        "spring pushes back toward the center and a damper resists motion farther out.");
    sphere.def(py::init([](const Triple& center, double radius, double stiffness, double damping) {
                   return std::make_unique<SphereBoundary>(SphereParameters{
                       Point(center, "center"), Positive(radius, "radius"),
                       NotNegative(stiffness, "stiffness"), NotNegative(damping, "damping")});
               }),
               py::arg("center"), py::arg("radius"), py::arg("stiffness"),
               py::arg("damping") = 0.0);
    Parameter<Triple>(
        sphere, "center", [](const SphereParameters& p) { return Numbers(p.center); },
        [](SphereParameters& p, const Triple& v) { p.center = Point(v, "center"); }, "m");
    Parameter<double>(
        sphere, "radius", [](const SphereParameters& p) { return p.radius; },
        [](SphereParameters& p, double v) { p.radius = Positive(v, "radius"); }, "m");
    Parameter<double>(
        sphere, "stiffness", [](const SphereParameters& p) { return p.stiffness; },
        [](SphereParameters& p, double v) { p.stiffness = NotNegative(v, "stiffness"); }, "N/m");
    Parameter<double>(
        sphere, "damping", [](const SphereParameters& p) { return p.damping; },
        [](SphereParameters& p, double v) { p.damping = NotNegative(v, "damping"); }, "N s/m");
    sphere.def("__repr__", [](const SphereBoundary& s) {
        const SphereParameters p = s.Get();
        return "SphereBoundary(center=" + Shown(p.center) + ", radius=" + Shown(p.radius) +
               ", stiffness=" + Shown(p.stiffness) + ", damping=" + Shown(p.damping) + ")";
    });

    py::class_<ConstantForce, Effect> constant(m, "ConstantForce",
                                               "The same force everywhere, in N.");
    constant.def(
        py::init([](const Triple& force) {
            return std::make_unique<ConstantForce>(ConstantParameters{Point(force, "force")});
        }),
        py::arg("force"));
    Parameter<Triple>(
        constant, "force", [](const ConstantParameters& p) { return Numbers(p.force); },
        [](ConstantParameters& p, const Triple& v) { p.force = Point(v, "force"); }, "N");
    constant.def("__repr__", [](const ConstantForce& c) {
        return "ConstantForce(force=" + Shown(c.Get().force) + ")";
    });
}

}  // namespace Ornix::Companion
