// What the companion reads of a device's link: its counts by outcome, bytes and last failure,
// and the fail-fast waiting of a device whose port is gone.
#include <pybind11/pybind11.h>

#include <memory>

#include "Binding.h"
#include "Companion.h"
#include "FailFast.h"
#include "Handle.h"
#include "Ostrel3.h"

namespace py = pybind11;

namespace Ornix::Companion {

namespace {

using HardwareAPI::Devices::Device;
using HardwareAPI::Devices::LinkCounters;

// The outcomes' names, in the order of their enumeration.
constexpr const char* kOutcomes[LinkCounters::kOutcomes] = {
    "ok", "timed_out", "wrong_reply", "cut_short", "write_failed", "port_gone", "cancelled",
};

}  // namespace

py::dict LinkStatistics(const Device& device) {
    const LinkCounters::Snapshot counts = device.Statistics();
    py::dict by_outcome;
    for (size_t i = 0; i < LinkCounters::kOutcomes; ++i) {
        by_outcome[kOutcomes[i]] = counts.by_outcome[i];
    }
    py::dict stats;
    stats["exchanges"] = counts.exchanges;
    stats["outcomes"] = by_outcome;
    stats["bytes_written"] = counts.bytes_written;
    stats["bytes_read"] = counts.bytes_read;
    stats["timeouts_in_a_row"] = counts.timeouts_in_a_row;
    stats["last_outcome"] = kOutcomes[static_cast<size_t>(device.LastOutcome())];
    if (counts.failed) {
        py::dict failure;
        failure["outcome"] = kOutcomes[static_cast<size_t>(counts.last_failure)];
        failure["time"] = static_cast<double>(counts.last_failure_us) * 1e-6;
        failure["errno"] = counts.last_errno;
        stats["last_failure"] = failure;
    } else {
        stats["last_failure"] = py::none();
    }
    return stats;
}

void RegisterLink(py::module_& m) {
    m.def(
        "link_stats",
        [](py::handle device) {
            using HardwareAPI::Python::Observed;
            if (const auto* arm = Observed<HardwareAPI::Devices::Ostrel3>(device)) {
                return LinkStatistics(*arm);
            }
            if (const auto* handle = Observed<HardwareAPI::Devices::Handle>(device)) {
                return LinkStatistics(*handle);
            }
            throw py::type_error("link_stats needs an Ostrel3 or a Handle");
        },
        py::arg("device"),
        "The device's link, also while a servo loop drives it: exchanges, their counts by "
        "outcome, bytes each way, the time-outs in a row, the last outcome and the last failure "
        "(outcome, time on the wall clock, errno), or None.");
    py::class_<FailFast>(m, "FailFast",
                         "Ends the device's waits once its port is found gone, while it lives.")
        .def(py::init([](HardwareAPI::Devices::Ostrel3& arm) {
                 return std::make_unique<FailFast>(arm);
             }),
             py::arg("device"), py::keep_alive<1, 2>())
        .def(py::init([](HardwareAPI::Devices::Handle& handle) {
                 return std::make_unique<FailFast>(handle);
             }),
             py::arg("device"), py::keep_alive<1, 2>());
}

}  // namespace Ornix::Companion
