#include "Deprecation.h"

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

}  // namespace Ornix::HardwareAPI::Python
