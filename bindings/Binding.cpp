#include "Binding.h"

#include <pythread.h>

namespace Ornix::HardwareAPI::Python {

Deprecation::Deprecation(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) {
        raised.emplace();  // takes the pending error over
    }
}

void Deprecation::RaiseIfTurnedIntoError() {
    if (raised) {
        throw *raised;
    }
}

void SignalCancellation::Prepare() {
    Get()->main_thread = pybind11::module_::import("threading")
                             .attr("main_thread")()
                             .attr("ident")
                             .cast<unsigned long>();
}

SignalCancellation* SignalCancellation::Get() {
    static SignalCancellation instance;
    return &instance;
}

bool SignalCancellation::Requested() {
    if (PyThread_get_thread_ident() != main_thread) {
        return false;
    }
    pybind11::gil_scoped_acquire lock;
    return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
}

}  // namespace Ornix::HardwareAPI::Python
