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
    // PyPy declares the identity signed, CPython unsigned.
    if (static_cast<unsigned long>(PyThread_get_thread_ident()) != main_thread) {
        return false;
    }
    pybind11::gil_scoped_acquire lock;
    if (PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0) {
        return true;
    }
#ifdef PYPY_VERSION
    // PyPy's PyErr_CheckSignals runs no handlers; its own waits do, so a zero sleep serves.
    try {
        pybind11::module_::import("time").attr("sleep")(0);
    } catch (pybind11::error_already_set& raised) {
        raised.restore();
        return true;
    }
#endif
    return false;
}

}  // namespace Ornix::HardwareAPI::Python
