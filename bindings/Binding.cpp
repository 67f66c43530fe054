#include "Binding.h"

#include <pythread.h>

#include <string>

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
    const LockTaken lock;
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

void RequireInitialised(pybind11::handle object, const std::type_info& type) {
    const pybind11::detail::type_info* info = pybind11::detail::get_type_info(type);
    if (!object || info == nullptr || !PyObject_TypeCheck(object.ptr(), info->type)) {
        return;  // not an object of the class: the binding layer refuses it as usual
    }
    auto* instance = reinterpret_cast<pybind11::detail::instance*>(object.ptr());
    const pybind11::detail::value_and_holder part = instance->get_value_and_holder(info, false);
    if (part.inst != nullptr && !part.holder_constructed()) {
        const pybind11::handle cls(reinterpret_cast<PyObject*>(Py_TYPE(object.ptr())));
        throw pybind11::type_error(pybind11::str(cls.attr("__module__")).cast<std::string>() + "." +
                                   pybind11::str(cls.attr("__qualname__")).cast<std::string>() +
                                   " object is not initialised: its __init__ has not run");
    }
}

}  // namespace Ornix::HardwareAPI::Python
