// Detection's wake-ups for the companion's probes, which run side by side on threads: each runs
// without the interpreter lock and ends early when the companion requests its stop, as it does
// for every probe still running once its caller is interrupted; on the main thread Ctrl-C ends
// it too.
#include <pybind11/pybind11.h>

#include <atomic>

#include "Binding.h"
#include "Companion.h"
#include "SerialDeviceProvider.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using HardwareAPI::Devices::SerialDeviceProvider;
using HardwareAPI::IO::SerialStream;
using HardwareAPI::Python::SignalCancellation;
using HardwareAPI::Python::Unlocked;

// A stop that any thread may request, asked by the waits of every call given it.
class Stop final : public HardwareAPI::Devices::Cancellation {
public:
    void Request() { requested.store(true); }
    bool IsRequested() const { return requested.load(); }
    bool Requested(bool signalled) override {
        return requested.load() || SignalCancellation::Get()->Requested(signalled);
    }

private:
    std::atomic<bool> requested{false};
};

}  // namespace

void RegisterWakeUps(py::module_& m) {
    py::class_<Stop>(m, "Stop", "A stop of the calls it is given, which any thread may request.")
        .def(py::init<>())
        .def("request", &Stop::Request, "Ends the calls given this stop, at their next look.")
        .def_property_readonly("requested", &Stop::IsRequested, "Whether the stop was requested.");
    m.def(
        "wake_arm",
        [](SerialStream& stream, Stop& stop) -> py::object {
            const auto info =
                Unlocked([&] { return SerialDeviceProvider::WakeOstrel3(stream, &stop); });
            if (!info) {
                return py::none();
            }
            const auto& uuid = info->device_id_ext.data;
            return py::make_tuple(
                info->device_id, info->device_model_number, info->hardware_version,
                info->firmware_version,
                py::bytes(reinterpret_cast<const char*>(uuid.data()), uuid.size()));
        },
        py::arg("stream"), py::arg("stop"),
        "Wakes the device on the stream as detection wakes an arm: (device id, model, hardware, "
        "firmware, uuid bytes) when an Ostrel3 answered, else None.");
    m.def(
        "wake_handle",
        [](SerialStream& stream, Stop& stop) -> py::object {
            const auto info =
                Unlocked([&] { return SerialDeviceProvider::WakeHandle(stream, &stop); });
            if (!info) {
                return py::none();
            }
            return py::make_tuple(info->device_id, info->device_model_number,
                                  info->hardware_version, info->firmware_version);
        },
        py::arg("stream"), py::arg("stop"),
        "Wakes the device on the stream as detection wakes a handle: (device id, model, hardware, "
        "firmware) when a handle answered, else None; a handle that answered with a status "
        "message tells only its device id.");
    m.def("is_open", &SerialStream::IsOpen, py::arg("stream"),
          "Whether the stream's port is open.");
}

}  // namespace Ornix::Companion
