// What the module body and the device registrations share: the registration functions, the
// deprecation warning of the older methods, and the one way a device call is run from Python,
// with or without the interpreter lock, ending early when Ctrl-C asks for it.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <type_traits>

#include "Cancellation.h"

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
    bool Requested() override;

private:
    unsigned long main_thread = 0;
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
// waits; the lock is back before anything is raised or a result is built.
template <typename Call>
auto Unlocked(Call&& call) {
    if constexpr (std::is_void_v<decltype(call())>) {
        {
            pybind11::gil_scoped_release release;
            call();
        }
        RaiseIfInterrupted();
    } else {
        auto result = [&] {
            pybind11::gil_scoped_release release;
            return call();
        }();
        RaiseIfInterrupted();
        return result;
    }
}

}  // namespace Ornix::HardwareAPI::Python
