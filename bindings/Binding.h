// What the module body and the device registrations share: the registration functions, the
// deprecation warning of the older methods, the one way a device call gives up and takes back
// the interpreter lock (ending early when Ctrl-C asks for it), and the argument conversions that
// refuse what no library call may see: objects whose __init__ never ran, port names with NUL.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "Cancellation.h"
#include "Handle.h"
#include "Ostrel3.h"
#include "SerialStream.h"
#include "UUID.h"

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

namespace Ornix::HardwareAPI::Python {

// Registration functions of the device classes, called by the module body in its fixed order.
void RegisterOstrel3(pybind11::module_& module);
void RegisterHandle(pybind11::module_& module);

// A DeprecationWarning of an older method, issued while the interpreter lock is held. The
// device call goes ahead in any case; a warning that the caller's filter turned into an error
// is raised once the call is over.
class Deprecation {
public:
    explicit Deprecation(const char* message);
    void RaiseIfTurnedIntoError();

private:
    std::optional<pybind11::error_already_set> raised;
};

// The cancellation of every device and detection the module runs. A wait that has lasted a few
// milliseconds on the main thread runs the interpreter's signal handlers; when one raises (Ctrl-C
// raises KeyboardInterrupt) the wait ends, and the error stays pending until the call raises it.
// Other threads never run handlers, so they never take the lock for it.
class SignalCancellation : public Devices::Cancellation {
public:
    // Called once, with the lock held, while the module is initialised.
    static void Prepare();
    static SignalCancellation* Get();
    bool Requested(bool signalled) override;

private:
    unsigned long main_thread = 0;
};

// The interpreter lock, taken on a thread whose device call has given it up (for the handle's
// callbacks, diagnostics and looking at signals), on a thread of the companion's own, or held
// already (a callback called from Python). Taking it
// may end the thread when the interpreter is shutting down; that happens in the constructor,
// which the thread's unwinding passes through.
class LockTaken {
public:
    LockTaken() {
#ifndef PYPY_VERSION
        // A thread of Python's takes the lock back with its own state, as the call that gave it
        // up does, and is ended there once the interpreter shuts down. Late in the shutdown the
        // interpreter forgets which state is the thread's, and PyGILState_Ensure would then make
        // one for no interpreter and crash: a thread that finds none at that time is ended too.
        PyThreadState* const mine = PyGILState_GetThisThreadState();
        if (mine != nullptr && PyGILState_Check() == 0) {
            own = mine;
            PyEval_RestoreThread(own);
            return;
        }
        if (mine == nullptr && ShuttingDown()) {
            PyThread_exit_thread();
        }
#endif
        state = PyGILState_Ensure();
    }
    ~LockTaken() {
        if (own != nullptr) {
            PyEval_SaveThread();
        } else {
            PyGILState_Release(state);
        }
    }
    LockTaken(const LockTaken&) = delete;
    LockTaken& operator=(const LockTaken&) = delete;

private:
#ifndef PYPY_VERSION
    static bool ShuttingDown() {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() != 0;
#else
        return _Py_IsFinalizing() != 0;
#endif
    }
#endif

    PyThreadState* own = nullptr;
    PyGILState_STATE state = PyGILState_UNLOCKED;
};

// Raises the error a signal handler left pending during a device call.
inline void RaiseIfInterrupted() {
    if (PyErr_Occurred() != nullptr) {
        throw pybind11::error_already_set();
    }
}

// Runs a device call with the interpreter lock held throughout.
template <typename Call>
auto Locked(Call&& call) {
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        RaiseIfInterrupted();
    } else {
        auto result = call();
        RaiseIfInterrupted();
        return result;
    }
}

// Runs a device call without the interpreter lock, so that other Python threads run while it
// waits; the lock is back before anything is raised or a result is built. A thread that takes
// the lock back while the interpreter shuts down (a daemon thread at exit) is ended there by the
// interpreter: the lock is taken back outside any destructor, and that ending passes through
// untouched, so that it ends the thread and not the process.
template <typename Call>
auto Unlocked(Call&& call) {
    PyThreadState* const state = PyEval_SaveThread();
    const auto run = [&] {
        try {
            return call();
#ifdef __GLIBCXX__
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
            PyEval_RestoreThread(state);
            throw;
        }
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        run();
        PyEval_RestoreThread(state);
        RaiseIfInterrupted();
    } else {
        auto result = run();
        PyEval_RestoreThread(state);
        RaiseIfInterrupted();
        return result;
    }
}

// Refuses an object of a bound class whose __init__ has not run (made with __new__ alone): no
// library call may see the storage behind it.
void RequireInitialised(pybind11::handle object, const std::type_info& type);

// Refuses, with RuntimeError, a stream (or a device on one) that a servo loop of the companion
// has claimed: a call from Python would interleave its frames with the loop's exchanges.
void RequireUnclaimed(const IO::SerialStream* stream, const char* kind);
inline void RequireUnclaimed(const IO::SerialStream* stream) {
    RequireUnclaimed(stream, "SerialStream");
}
inline void RequireUnclaimed(const Devices::Ostrel3* arm) {
    RequireUnclaimed(arm != nullptr ? arm->Stream() : nullptr, "Ostrel3");
}
inline void RequireUnclaimed(const Devices::Handle* handle) {
    RequireUnclaimed(handle != nullptr ? handle->Stream() : nullptr, "Handle");
}
inline void RequireUnclaimed(const UUID*) {}

#ifdef PYPY_VERSION
// Under PyPy a container built in C (a tuple, list or dict) lives on until a full collection of
// PyPy's heap. So the calls a loop makes at rate also come in forms that write their numbers into
// the calling thread's in-place results and return nothing, and the module's PyPy layer
// (_OrnixHardwareAPI_pypy, installed by InstallPyPyLayer) builds the results in PyPy itself.
struct InPlaceResults {
    std::array<float, 9> numbers{};
    std::array<uint8_t, Devices::HandleStatusMessage::kMaxUserData> bytes{};
};
InPlaceResults& ThreadResults();
// Imports the PyPy layer and lets it install its methods on the module's classes.
void InstallPyPyLayer(pybind11::module_& module);
// The layer's function that hands a status message to a Python override: it takes the override,
// device id, error flag, sensor level and user data length; the quaternion and the user data
// wait in the thread's in-place results.
pybind11::handle StatusDelivery();
#endif

// A port name from Python: a str, bytes or bytearray without NUL, or None for no name.
struct PortName {
    std::optional<std::string> text;
    const char* c_str() const { return text ? text->c_str() : nullptr; }
};

}  // namespace Ornix::HardwareAPI::Python

namespace pybind11::detail {

// Loads an object of a bound class as the binding layer does, once it is known to be built and
// free for the program to use.
template <typename T>
class initialised_caster : public type_caster_base<T> {
public:
    bool load(handle source, bool convert) {
        Ornix::HardwareAPI::Python::RequireInitialised(source, typeid(T));
        if (!type_caster_base<T>::load(source, convert)) {
            return false;
        }
        Ornix::HardwareAPI::Python::RequireUnclaimed(static_cast<const T*>(this->value));
        return true;
    }
};

template <>
class type_caster<Ornix::HardwareAPI::IO::SerialStream>
    : public initialised_caster<Ornix::HardwareAPI::IO::SerialStream> {};
template <>
class type_caster<Ornix::HardwareAPI::UUID> : public initialised_caster<Ornix::HardwareAPI::UUID> {
};
template <>
class type_caster<Ornix::HardwareAPI::Devices::Ostrel3>
    : public initialised_caster<Ornix::HardwareAPI::Devices::Ostrel3> {};
template <>
class type_caster<Ornix::HardwareAPI::Devices::Handle>
    : public initialised_caster<Ornix::HardwareAPI::Devices::Handle> {};

// Converts as a text argument does, and prints as "str"; a NUL inside the name raises
// ValueError, as Python's own open does, since the library would see only what comes before it.
template <>
struct type_caster<Ornix::HardwareAPI::Python::PortName> {
    PYBIND11_TYPE_CASTER(Ornix::HardwareAPI::Python::PortName, const_name("str"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value = {};
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(source, convert)) {
            return false;
        }
        std::string name = cast_op<std::string&&>(std::move(text));
        if (name.find('\0') != std::string::npos) {
            throw value_error("embedded null byte");
        }
        value.text = std::move(name);
        return true;
    }
};

}  // namespace pybind11::detail

namespace Ornix::HardwareAPI::Python {

// An object of a bound class loaded for what may be done while a servo loop drives its port
// (reading its counts): refused when its __init__ never ran, not when it is claimed; null when
// it is no object of the class.
template <typename T>
T* Observed(pybind11::handle object) {
    RequireInitialised(object, typeid(T));
    pybind11::detail::type_caster_base<T> caster;
    if (!caster.load(object, false)) {
        return nullptr;
    }
    return static_cast<T*>(caster.value);
}

}  // namespace Ornix::HardwareAPI::Python
