#include "LinkCounters.h"

namespace Ornix::HardwareAPI::Devices {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

void LinkCounters::Begin(Outcome previous) {
    if (in_progress.load(kRelaxed)) {
        Add(exchanges, 1);
        Add(by_outcome[static_cast<size_t>(previous)], 1);
        timeouts_in_a_row.store(
            previous == Outcome::TimedOut ? timeouts_in_a_row.load(kRelaxed) + 1 : 0, kRelaxed);
    }
    in_progress.store(true, kRelaxed);
}

void LinkCounters::Failed(Outcome failure, int error_number, int64_t time_us) {
    last_errno.store(error_number, kRelaxed);
    last_failure_us.store(time_us, kRelaxed);
    last_failure.store(static_cast<int>(failure), std::memory_order_release);
}

LinkCounters::Snapshot LinkCounters::Take(Outcome current) const {
    Snapshot snapshot;
    snapshot.exchanges = exchanges.load(kRelaxed);
    for (size_t i = 0; i < kOutcomes; ++i) {
        snapshot.by_outcome[i] = by_outcome[i].load(kRelaxed);
    }
    snapshot.timeouts_in_a_row = timeouts_in_a_row.load(kRelaxed);
    if (in_progress.load(kRelaxed)) {
        ++snapshot.exchanges;
        ++snapshot.by_outcome[static_cast<size_t>(current)];
        snapshot.timeouts_in_a_row =
            current == Outcome::TimedOut ? snapshot.timeouts_in_a_row + 1 : 0;
    }
    snapshot.bytes_written = bytes_written.load(kRelaxed);
    snapshot.bytes_read = bytes_read.load(kRelaxed);
    const int failure = last_failure.load(std::memory_order_acquire);
    if (failure >= 0) {
        snapshot.failed = true;
        snapshot.last_failure = static_cast<Outcome>(failure);
        snapshot.last_errno = last_errno.load(kRelaxed);
        snapshot.last_failure_us = last_failure_us.load(kRelaxed);
    }
    return snapshot;
}

}  // namespace Ornix::HardwareAPI::Devices
