// A DeprecationWarning of an older method, issued while the interpreter lock is held. The
// device call goes ahead in any case; a warning that the caller's filter turned into an error
// is raised once the call is over.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace Ornix::HardwareAPI::Python {

class Deprecation {
public:
    explicit Deprecation(const char* message);
    void RaiseIfTurnedIntoError();

private:
    std::optional<pybind11::error_already_set> raised;
};

}  // namespace Ornix::HardwareAPI::Python
