// The extension module OrnixHardwareAPI: registers the module's functions and classes in their
// fixed order. The device classes register themselves from sources of their own.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "Binding.h"
#include "Device.h"
#include "SerialDeviceProvider.h"
#include "SerialStream.h"
#include "UUID.h"
#include "Version.h"

namespace py = pybind11;

namespace {

using Ornix::HardwareAPI::UUID;
using Ornix::HardwareAPI::Devices::Device;
using Ornix::HardwareAPI::IO::SerialStream;
using Ornix::HardwareAPI::Python::Locked;
using Ornix::HardwareAPI::Python::PortName;
using Ornix::HardwareAPI::Python::SignalCancellation;
using Ornix::HardwareAPI::Python::Unlocked;

void RegisterSerialStream(py::module_& m) {
    py::class_<SerialStream>(m, "SerialStream")
        .def(
            py::init([](const PortName& port) {
                // Opening a port may block; other Python threads go on meanwhile.
                return Unlocked([&] { return std::make_unique<SerialStream>(port.c_str(), true); });
            }),
            "Initialize the serial stream");
}

void RegisterUuid(py::module_& m) {
    py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", [](const UUID& identifier) {
        return std::vector<uint8_t>(identifier.data.begin(), identifier.data.end());
    });
}

// Detection keeps the interpreter lock throughout: other Python threads wait for it.
template <std::vector<std::string> (*Detect)(const std::string&,
                                             Ornix::HardwareAPI::Devices::Cancellation*)>
std::vector<std::string> Detection() {
    return Locked([] { return Detect("/dev", SignalCancellation::Get()); });
}

void RegisterDetection(py::module_& m) {
    using Ornix::HardwareAPI::Devices::SerialDeviceProvider;
    m.def("detect_ostrel3s", &Detection<SerialDeviceProvider::DetectOstrel3s>,
          "detect available ostrel3 devices");
    m.def("detect_handles", &Detection<SerialDeviceProvider::DetectHandles>,
          "detect available handles");
    m.def("detect_wired_handles", &Detection<SerialDeviceProvider::DetectWiredHandles>,
          "detect available wired handles");
    m.def("detect_wireless_handles", &Detection<SerialDeviceProvider::DetectWirelessHandles>,
          "detect available wireless handles");
}

}  // namespace

PYBIND11_MODULE(OrnixHardwareAPI, m) {
    SignalCancellation::Prepare();
    m.doc() = "Python Implementation of the Ornix Hardware API";
    RegisterSerialStream(m);
    RegisterUuid(m);
    py::class_<Device>(m, "Device");
    m.def("get_cpp_version", &Ornix::HardwareAPI::GetVersion, "Get the version of the CPP library");
    m.def("print_cpp_version", &Ornix::HardwareAPI::PrintVersion,
          "Print the version of the CPP library");
    RegisterDetection(m);
    Ornix::HardwareAPI::Python::RegisterOstrel3(m);
    Ornix::HardwareAPI::Python::RegisterHandle(m);
#ifdef PYPY_VERSION
    Ornix::HardwareAPI::Python::InstallPyPyLayer(m);
#endif
    m.attr("__version__") = "dev";
}
