// The servo loop as the companion package's ornix.servo drives it: built on a module Ostrel3,
// started and stopped with the interpreter lock released (the loop's last exchange, and the
// callback's thread, may need time or the lock), its state written into a buffer the package
// reads, so that nothing at the loop's rate builds a container in C (which PyPy would keep until
// a full collection).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "Binding.h"
#include "Companion.h"
#include "Effect.h"
#include "ServoLoop.h"
#include "TickCallback.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using Intervention = Telemetry::Intervention;

// The numbers state_into writes, in order.
constexpr size_t kStateNumbers = 11;

// The loop with its clock and its callback's thread, which live and die with it.
class BoundLoop {
public:
    BoundLoop(Devices::Ostrel3& arm, const ServoLoop::Settings& settings)
        : loop(arm, settings, clock) {}
    ~BoundLoop() {
        const py::gil_scoped_release released;
        Halt();
    }

    void OnTick(py::function function, uint64_t every) {
        if (loop.Running()) {
            throw py::value_error("the callback is set before the loop starts");
        }
        callback = std::make_unique<TickCallback>(std::move(function), loop);
        loop.Observe(callback.get(), every);
    }

    void Start() {
        if (loop.Running()) {
            throw std::runtime_error("the servo loop runs already: stop it first");
        }
        if (callback) {
            callback->Start();
        }
        if (!loop.Start()) {
            const py::gil_scoped_release released;
            if (callback) {
                callback->Stop();
            }
            throw std::runtime_error(
                "the arm's port is driven by another servo loop: stop that one first");
        }
    }

    // The exception the callback raised, if any; the loop has stopped either way.
    std::optional<py::error_already_set> Stop() {
        {
            const py::gil_scoped_release released;
            Halt();
        }
        if (callback) {
            return callback->TakeError();
        }
        return std::nullopt;
    }

    void StateInto(py::buffer buffer) {
        const py::buffer_info info = Doubles(std::move(buffer), kStateNumbers, "state_into");
        const ServoState state = loop.State();
        double* const numbers = static_cast<double*>(info.ptr);
        const double values[kStateNumbers] = {state.time,       static_cast<double>(state.tick),
                                              state.position.x, state.position.y,
                                              state.position.z, state.velocity.x,
                                              state.velocity.y, state.velocity.z,
                                              state.force.x,    state.force.y,
                                              state.force.z};
        std::copy(values, values + kStateNumbers, numbers);
    }

    py::dict Stats(bool reset) {
        const Telemetry::Snapshot s = loop.Stats(reset);
        py::dict stats;
        stats["seconds"] = s.seconds;
        stats["rate"] = s.rate;
        stats["target_rate"] = loop.Rate();
        stats["ticks"] = s.ticks;
        stats["missed"] = s.missed;
        stats["lateness_p50_us"] = s.lateness_p50_us;
        stats["lateness_p99_us"] = s.lateness_p99_us;
        stats["lateness_max_us"] = s.lateness_max_us;
        stats["exchanges"] = s.exchanges;
        stats["exchanges_failed"] = s.exchanges_failed;
        stats["exchange_p50_us"] = s.exchange_p50_us;
        stats["exchange_p99_us"] = s.exchange_p99_us;
        stats["exchange_max_us"] = s.exchange_max_us;
        stats["cpu_seconds"] = s.cpu_seconds;
        stats["policy"] = loop.Scheduling().policy;
        stats["policy_refused"] = loop.Scheduling().refusal;
        py::dict interventions;
        const char* const names[] = {"clamped", "ramped", "non_finite", "overspeed", "heartbeat"};
        for (size_t i = 0; i < Telemetry::kInterventions; ++i) {
            interventions[names[i]] = s.interventions[i];
        }
        stats["interventions"] = interventions;
        stats["link"] = LinkStatistics(loop.Arm());
        return stats;
    }

    SteadyServoClock clock;
    ServoLoop loop;

private:
    void Halt() {
        loop.Stop();
        if (callback) {
            callback->Stop();
        }
    }

    std::unique_ptr<TickCallback> callback;
};

ServoLoop::Settings Settings(double rate, double max_force, double ramp, double max_velocity,
                             double heartbeat, bool realtime) {
    ServoLoop::Settings settings;
    settings.rate = Positive(rate, "rate");
    settings.limits.max_force = Positive(max_force, "max_force");
    settings.limits.ramp_seconds = NotNegative(ramp, "ramp");
    if (!(max_velocity > 0)) {
        throw py::value_error("max_velocity must be a number above 0, or None");
    }
    settings.limits.max_velocity = max_velocity;
    settings.limits.heartbeat_seconds = NotNegative(heartbeat, "heartbeat");
    settings.realtime = realtime;
    return settings;
}

}  // namespace

void RegisterServo(py::module_& m) {
    py::class_<BoundLoop>(m, "ServoLoop", "The native servo loop behind ornix.ServoLoop.")
        .def(py::init([](Devices::Ostrel3& arm, double rate, double max_force, double ramp,
                         double max_velocity, double heartbeat, bool realtime) {
                 return std::make_unique<BoundLoop>(
                     arm, Settings(rate, max_force, ramp, max_velocity, heartbeat, realtime));
             }),
             py::arg("arm"), py::arg("rate"), py::arg("max_force"), py::arg("ramp"),
             py::arg("max_velocity"), py::arg("heartbeat"), py::arg("realtime"),
             py::keep_alive<1, 2>())
        .def("on_tick", &BoundLoop::OnTick, py::arg("callback"), py::arg("every"),
             "Calls callback(time, tick, px, py, pz, vx, vy, vz, fx, fy, fz) every `every` ticks, "
             "on a thread of its own.")
        .def("start", &BoundLoop::Start)
        .def(
            "stop",
            [](BoundLoop& bound) {
                std::optional<py::error_already_set> raised = bound.Stop();
                if (raised) {
                    throw *raised;
                }
            },
            "Stops the loop (its last exchange sends zero force) and raises again what the "
            "callback raised.")
        .def_property_readonly("running", [](const BoundLoop& b) { return b.loop.Running(); })
        .def_property_readonly("stopping", [](const BoundLoop& b) { return b.loop.Stopping(); })
        .def(
            "set_force",
            [](BoundLoop& bound, double x, double y, double z) { bound.loop.SetForce({x, y, z}); },
            py::arg("x"), py::arg("y"), py::arg("z"))
        .def("state_into", &BoundLoop::StateInto, py::arg("buffer"),
             "Writes time, tick, position, velocity and force (11 numbers) into the buffer.")
        .def("stats", &BoundLoop::Stats, py::arg("reset") = false)
        .def_property(
            "max_force", [](BoundLoop& b) { return b.loop.Envelope().MaxForce(); },
            [](BoundLoop& b, double newtons) {
                b.loop.Envelope().SetMaxForce(Positive(newtons, "max_force"));
            })
        .def(
            "add",
            [](BoundLoop& bound, const Effect& effect) {
                if (!bound.loop.Effects().Add(&effect)) {
                    throw py::value_error(bound.loop.Effects().Contains(&effect)
                                              ? "the effect is in the loop already"
                                              : "the loop holds as many effects as it can: 32");
                }
            },
            py::arg("effect"))
        .def(
            "remove",
            [](BoundLoop& bound, const Effect& effect) {
                bool found = false;
                const uint64_t sums = bound.loop.Effects().Remove(&effect, found);
                if (!found) {
                    throw py::value_error("the effect is not in the loop");
                }
                return sums;
            },
            py::arg("effect"),
            "Takes the effect out: the count of sums begun, which sums() must pass before the "
            "effect may go.")
        .def("sums", [](BoundLoop& bound) { return bound.loop.Effects().Sums(); });
}

}  // namespace Ornix::Companion
