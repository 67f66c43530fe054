// The extension module ornix._native, the companion's native part. The module OrnixHardwareAPI
// is imported first: it registers the classes (SerialStream, Ostrel3, Handle) whose objects the
// functions here take.
#include <pybind11/pybind11.h>

#include "Binding.h"
#include "Companion.h"

PYBIND11_MODULE(_native, m) {
    pybind11::module_::import("OrnixHardwareAPI");
    Ornix::HardwareAPI::Python::SignalCancellation::Prepare();
    m.doc() = "The native part of the ornix companion package";
    Ornix::Companion::RegisterPorts(m);
    Ornix::Companion::RegisterWakeUps(m);
    Ornix::Companion::RegisterEffects(m);
    Ornix::Companion::RegisterServo(m);
    Ornix::Companion::RegisterDiagnostics(m);
    Ornix::Companion::RegisterLink(m);
    Ornix::Companion::RegisterHandleStream(m);
}
