// The background reader of a handle, as ornix.HandleStream drives it: started and stopped with
// the interpreter lock released, its newest status written into a buffer the package reads (at
// any rate, nothing built in C), its events taken in batches, waiting without the lock.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include "Companion.h"
#include "HandleReader.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using Event = HandleReader::Event;

// The numbers latest_into writes, in order.
constexpr size_t kStatusNumbers = 13;

const char* KindName(Event::Kind kind) {
    switch (kind) {
        case Event::Kind::Pressed:
            return "pressed";
        case Event::Kind::Released:
            return "released";
        case Event::Kind::BatteryLow:
            return "battery_low";
        case Event::Kind::BatteryRecovered:
            break;
    }
    return "battery_recovered";
}

// The reader with its clock.
class BoundReader {
public:
    BoundReader(HardwareAPI::Devices::Handle& handle, bool compact, float low_battery,
                double status_period)
        : reader(handle, compact ? HandleReader::Mode::Compact : HandleReader::Mode::Messages,
                 low_battery, std::chrono::nanoseconds(static_cast<int64_t>(status_period * 1e9)),
                 clock) {}
    ~BoundReader() {
        const py::gil_scoped_release released;
        reader.Stop();
    }

    SteadyServoClock clock;
    HandleReader reader;
};

}  // namespace

void RegisterHandleStream(py::module_& m) {
    py::class_<BoundReader>(m, "HandleReader", "The native reader behind ornix.HandleStream.")
        .def(py::init([](HardwareAPI::Devices::Handle& handle, bool compact, double low_battery,
                         double status_period) {
                 if (!std::isfinite(low_battery) || low_battery < 0) {
                     throw py::value_error("low_battery must be a number of volts, 0 or more");
                 }
                 if (!std::isfinite(status_period) || status_period <= 0) {
                     throw py::value_error("status_period must be a number of seconds above 0");
                 }
                 return std::make_unique<BoundReader>(
                     handle, compact, static_cast<float>(low_battery), status_period);
             }),
             py::arg("handle"), py::arg("compact"), py::arg("low_battery"),
             py::arg("status_period"), py::keep_alive<1, 2>())
        .def("start",
             [](BoundReader& bound) {
                 if (!bound.reader.Start()) {
                     throw std::runtime_error(
                         bound.reader.Running()
                             ? "the handle stream reads already: stop it first"
                             : "the handle's port is driven by another reader or loop");
                 }
             })
        .def("stop",
             [](BoundReader& bound) {
                 const py::gil_scoped_release released;
                 bound.reader.Stop();
             })
        .def_property_readonly("running",
                               [](const BoundReader& bound) { return bound.reader.Running(); })
        .def(
            "latest_into",
            [](BoundReader& bound, py::buffer buffer) {
                const py::buffer_info info =
                    Doubles(std::move(buffer), kStatusNumbers, "latest_into");
                const HandleReader::Status s = bound.reader.Latest();
                const auto number = [](auto value) { return static_cast<double>(value); };
                const double values[kStatusNumbers] = {s.time,
                                                       number(s.count),
                                                       number(s.sequence),
                                                       number(s.device_id),
                                                       s.quaternion[0],
                                                       s.quaternion[1],
                                                       s.quaternion[2],
                                                       s.quaternion[3],
                                                       number(s.error_flag),
                                                       number(s.hall_level),
                                                       number(s.buttons),
                                                       s.battery,
                                                       number(bound.reader.Gaps())};
                std::copy(values, values + kStatusNumbers, static_cast<double*>(info.ptr));
            },
            py::arg("buffer"),
            "Writes time, count, sequence, device id, quaternion, error flag, hall level, "
            "buttons, battery and the gaps counted (13 numbers) into the buffer.")
        .def(
            "take_events",
            [](BoundReader& bound, double timeout) {
                Event taken[256];
                size_t count = 0;
                {
                    const py::gil_scoped_release released;
                    count = bound.reader.TakeEvents(taken, std::size(taken),
                                                    std::chrono::nanoseconds(static_cast<int64_t>(
                                                        std::max(0.0, timeout) * 1e9)));
                }
                py::list events;
                for (size_t i = 0; i < count; ++i) {
                    events.append(py::make_tuple(taken[i].time, KindName(taken[i].kind),
                                                 taken[i].button, taken[i].battery,
                                                 taken[i].count));
                }
                return events;
            },
            py::arg("timeout"),
            "The events waiting, oldest first, as (time, kind, button, battery, count); waits "
            "up to `timeout` seconds for one when none waits.");
}

}  // namespace Ornix::Companion
