#include "Binding.h"

#include <pybind11/gil_safe_call_once.h>
#include <pythread.h>

#include <csignal>
#include <stdexcept>
#include <string>

#include "PortReclaimer.h"

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

bool SignalCancellation::Requested([[maybe_unused]] bool signalled) {
    // PyPy declares the identity signed, CPython unsigned.
    if (static_cast<unsigned long>(PyThread_get_thread_ident()) != main_thread) {
        return false;
    }
#ifdef PYPY_VERSION
    // PyPy's PyErr_CheckSignals runs no handlers. Calling into its signal module does, but may
    // also let other threads take the lock for a moment, which a call that holds it (a status
    // getter, detection) must not allow: such a call looks only after a signal.
    if (!signalled && PyGILState_Check()) {
        return false;
    }
    const LockTaken lock;
    if (PyErr_Occurred() != nullptr) {
        return true;
    }
    try {
        pybind11::module_::import("signal").attr("getsignal")(SIGINT);
    } catch (pybind11::error_already_set& raised) {
        raised.restore();
        return true;
    }
    return false;
#else
    const LockTaken lock;
    return PyErr_Occurred() != nullptr || PyErr_CheckSignals() != 0;
#endif
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

void RequireUnclaimed(const IO::SerialStream* stream, const char* kind) {
    if (stream != nullptr && stream->Claimed()) {
        throw std::runtime_error(std::string("the port of this ") + kind +
                                 " is driven by a servo loop: use the loop's set_force() and "
                                 "state(), or stop the loop first");
    }
}

#ifdef PYPY_VERSION
namespace {

// The Python module that builds the results under PyPy; the wheel for PyPy carries it.
constexpr const char* kPyPyLayer = "_OrnixHardwareAPI_pypy";

}  // namespace

InPlaceResults& ThreadResults() {
    thread_local InPlaceResults results;
    return results;
}

namespace {

// Under PyPy a stream the program has dropped closes its port only when the collector frees it:
// a port such a stream holds is reclaimed by collecting before it is refused as busy.
void CollectDroppedStreams() {
    const LockTaken lock;
    if (PyErr_Occurred() != nullptr) {
        return;  // an error waits to be raised: nothing runs before it
    }
    try {
        pybind11::module_::import("gc").attr("collect")();
    } catch (pybind11::error_already_set& raised) {
        raised.restore();  // such as Ctrl-C during the collection: the call raises it
    }
}

}  // namespace

void InstallPyPyLayer(pybind11::module_& module) {
    // PyPy makes its interpreter lock when a first thread of its own starts: a thread of ours (a
    // servo loop's) that took the lock before then would find none, and PyPy aborts.
    PyEval_InitThreads();
    IO::PortReclaimer::Install(&CollectDroppedStreams);
    // Views of the calling thread's in-place results, which the layer keeps for each thread.
    const pybind11::cpp_function views([] {
        InPlaceResults& results = ThreadResults();
        return pybind11::make_tuple(
            pybind11::memoryview::from_buffer(results.numbers.data(), {results.numbers.size()},
                                              {sizeof(float)}, true),
            pybind11::memoryview::from_buffer(results.bytes.data(), {results.bytes.size()},
                                              {sizeof(uint8_t)}, true));
    });
    pybind11::module_::import(kPyPyLayer).attr("install")(module, views);
}

pybind11::handle StatusDelivery() {
    PYBIND11_CONSTINIT static pybind11::gil_safe_call_once_and_store<pybind11::object> delivery;
    return delivery
        .call_once_and_store_result(
            [] { return pybind11::module_::import(kPyPyLayer).attr("deliver_status"); })
        .get_stored();
}
#endif

}  // namespace Ornix::HardwareAPI::Python
