// Registration functions of the device classes, called by the module body in its fixed order.
#pragma once

#include <pybind11/pybind11.h>

namespace Ornix::HardwareAPI::Python {

void RegisterOstrel3(pybind11::module_& module);
void RegisterHandle(pybind11::module_& module);

}  // namespace Ornix::HardwareAPI::Python
