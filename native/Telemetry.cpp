#include "Telemetry.h"

#include <algorithm>

namespace Ornix::Companion {

namespace {

double Microseconds(std::chrono::nanoseconds duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

constexpr auto kRelaxed = std::memory_order_relaxed;

}  // namespace

void Telemetry::Begin(Nanoseconds now) { Clear(now); }

void Telemetry::Tick(Nanoseconds lateness_now) {
    ticks.fetch_add(1, kRelaxed);
    lateness.Add(Microseconds(lateness_now));
}

void Telemetry::Missed(uint64_t deadlines) { missed.fetch_add(deadlines, kRelaxed); }

void Telemetry::Exchange(Nanoseconds took, bool succeeded) {
    exchanges.fetch_add(1, kRelaxed);
    if (!succeeded) {
        failed.fetch_add(1, kRelaxed);
    }
    exchange_time.Add(Microseconds(took));
}

void Telemetry::Intervened(Intervention intervention) {
    interventions[static_cast<size_t>(intervention)].fetch_add(1, kRelaxed);
}

void Telemetry::Processor(Nanoseconds used) {
    processor_now.store(used.count(), kRelaxed);
    if (processor_start.load(kRelaxed) < 0) {
        processor_start.store(used.count(), kRelaxed);
    }
}

void Telemetry::ResetIfAsked(Nanoseconds now) {
    last_tick.store(now.count(), kRelaxed);
    if (reset_asked.exchange(false)) {
        Clear(now);
    }
}

void Telemetry::Reset(Nanoseconds now, bool running) {
    if (running) {
        reset_asked.store(true);
    } else {
        Clear(now);
    }
}

void Telemetry::Clear(Nanoseconds now) {
    window_start.store(now.count(), kRelaxed);
    last_tick.store(now.count(), kRelaxed);
    for (auto* counter : {&ticks, &missed, &exchanges, &failed}) {
        counter->store(0, kRelaxed);
    }
    for (auto& counter : interventions) {
        counter.store(0, kRelaxed);
    }
    lateness.Clear();
    exchange_time.Clear();
    // The window's processor time counts from the thread's next report.
    processor_start.store(-1, kRelaxed);
    processor_now.store(0, kRelaxed);
}

Telemetry::Snapshot Telemetry::Read(Nanoseconds now, bool running) const {
    Snapshot snapshot;
    // The new window a reader asked for is empty until the loop's next tick begins it.
    if (running && reset_asked.load()) {
        return snapshot;
    }
    const int64_t end = running ? now.count() : last_tick.load(kRelaxed);
    snapshot.seconds = std::max(0.0, static_cast<double>(end - window_start.load(kRelaxed)) * 1e-9);
    snapshot.ticks = ticks.load(kRelaxed);
    snapshot.rate =
        snapshot.seconds > 0 ? static_cast<double>(snapshot.ticks) / snapshot.seconds : 0.0;
    snapshot.missed = missed.load(kRelaxed);
    snapshot.lateness_p50_us = lateness.Percentile(0.5);
    snapshot.lateness_p99_us = lateness.Percentile(0.99);
    snapshot.lateness_max_us = lateness.Max();
    snapshot.exchanges = exchanges.load(kRelaxed);
    snapshot.exchanges_failed = failed.load(kRelaxed);
    snapshot.exchange_p50_us = exchange_time.Percentile(0.5);
    snapshot.exchange_p99_us = exchange_time.Percentile(0.99);
    snapshot.exchange_max_us = exchange_time.Max();
    for (size_t i = 0; i < kInterventions; ++i) {
        snapshot.interventions[i] = interventions[i].load(kRelaxed);
    }
    const int64_t first = processor_start.load(kRelaxed);
    if (first >= 0) {
        snapshot.cpu_seconds = static_cast<double>(processor_now.load(kRelaxed) - first) * 1e-9;
    }
    return snapshot;
}

}  // namespace Ornix::Companion
