// What the sources of the companion's native part share: their registration functions, called
// by the module body in order.
#pragma once

#include <pybind11/pybind11.h>

#include "Device.h"

namespace Ornix::Companion {

void RegisterWakeUps(pybind11::module_& module);
void RegisterEffects(pybind11::module_& module);
void RegisterServo(pybind11::module_& module);
void RegisterDiagnostics(pybind11::module_& module);
void RegisterPorts(pybind11::module_& module);
void RegisterLink(pybind11::module_& module);
void RegisterHandleStream(pybind11::module_& module);

// A device's link counts as the companion gives them to Python.
pybind11::dict LinkStatistics(const HardwareAPI::Devices::Device& device);

// A setting's value, refused with ValueError naming it unless finite and 0 or more, or above 0.
double NotNegative(double value, const char* name);
double Positive(double value, const char* name);

// The buffer a `method` writes `count` numbers into: refused unless a writable row of at least
// that many doubles.
pybind11::buffer_info Doubles(pybind11::buffer buffer, size_t count, const char* method);

}  // namespace Ornix::Companion
