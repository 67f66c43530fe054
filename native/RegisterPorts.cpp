// What the companion knows of ports, from the library: whether a port opens as the library opens
// it, and which of the module's detect_* functions would probe a port by its name.
#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "Binding.h"
#include "Companion.h"
#include "SerialDeviceProvider.h"
#include "serialib.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using HardwareAPI::Devices::SerialDeviceProvider;
using Detection = SerialDeviceProvider::Detection;

// The module's functions for each search, in the order their ports are listed by role.
constexpr std::pair<Detection, const char*> kFunctions[] = {
    {Detection::Ostrel3s, "detect_ostrel3s"},
    {Detection::Handles, "detect_handles"},
    {Detection::WiredHandles, "detect_wired_handles"},
    {Detection::WirelessHandles, "detect_wireless_handles"},
};

}  // namespace

void RegisterPorts(py::module_& m) {
    m.def(
        "check_port",
        [](const HardwareAPI::Python::PortName& path) {
            return HardwareAPI::IO::serialib::check_port(path.c_str());
        },
        py::arg("path"),
        "Opens the port as the library does and closes it again: 0, or the errno the opening "
        "met (ENOTTY for a file that is no terminal, EBUSY for a port held elsewhere).");
    m.def(
        "probed_by",
        [](const std::string& name) {
            py::list functions;
            if (const auto type = SerialDeviceProvider::Classify(name)) {
                for (const auto& [detection, function] : kFunctions) {
                    if (SerialDeviceProvider::Considers(detection, *type)) {
                        functions.append(function);
                    }
                }
            }
            return py::tuple(functions);
        },
        py::arg("name"),
        "The module's detect_* functions that would probe a device node of this name.");
}

}  // namespace Ornix::Companion
