// The companion's sink for the library's error lines, as ornix.diagnostics drives it.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>

#include "Companion.h"
#include "Diagnostics.h"
#include "LoggingSink.h"

namespace py = pybind11;

namespace Ornix::Companion {

void RegisterDiagnostics(py::module_& m) {
    py::class_<LoggingSink>(m, "LoggingSink",
                            "Hands the library's error lines to deliver(file, line, message, "
                            "errno, strerror) in place of standard error.")
        .def(py::init<py::function>(), py::arg("deliver"))
        .def(
            "install", [](LoggingSink& sink) { HardwareAPI::Diagnostics::Install(&sink); },
            "From now on the library's error lines come here.")
        .def(
            "uninstall", [](LoggingSink&) { HardwareAPI::Diagnostics::Install(nullptr); },
            "From now on the library's error lines go to standard error again.")
        .def(
            "deliver_queued",
            [](LoggingSink& sink, double seconds) {
                return sink.DeliverQueued(
                    std::chrono::milliseconds(static_cast<int64_t>(std::max(0.0, seconds) * 1000)));
            },
            py::arg("timeout"),
            "Waits up to `timeout` seconds for lines queued by threads Python does not know and "
            "delivers them; False once closed.")
        .def("close", &LoggingSink::Close, "Ends the waits of deliver_queued.");
}

}  // namespace Ornix::Companion
