// What the servo loop tells of itself: ticks, deadlines missed, how late ticks began and how
// long exchanges took, failed exchanges and each kind of safety intervention, over a window that
// a reader may start anew. The loop counts without allocating; any thread reads meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "LatencyHistogram.h"

namespace Ornix::Companion {

class Telemetry {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    enum class Intervention { Clamped, Ramped, NonFinite, Overspeed, Heartbeat };
    static constexpr size_t kInterventions = 5;

    struct Snapshot {
        double seconds = 0;  // the window's length
        uint64_t ticks = 0;
        double rate = 0;  // ticks per second
        uint64_t missed = 0;
        double lateness_p50_us = 0, lateness_p99_us = 0, lateness_max_us = 0;
        uint64_t exchanges = 0;
        uint64_t exchanges_failed = 0;
        double exchange_p50_us = 0, exchange_p99_us = 0, exchange_max_us = 0;
        std::array<uint64_t, kInterventions> interventions{};
        double cpu_seconds = 0;  // the loop thread's processor time in the window
    };

    // The loop's side.
    void Begin(Nanoseconds now);
    void Tick(Nanoseconds lateness);
    void Missed(uint64_t deadlines);
    void Exchange(Nanoseconds took, bool succeeded);
    void Intervened(Intervention intervention);
    // Starts a new window if a reader asked for one; at the start of each tick.
    void ResetIfAsked(Nanoseconds now);
    // The loop thread's processor time so far, after each tick.
    void Processor(Nanoseconds used);

    // Any thread's side. The window ends at `now` while the loop runs, else where it stopped.
    Snapshot Read(Nanoseconds now, bool running) const;
    // Asks the loop for a new window, which begins at its next tick; while it is not running,
    // the window begins at once.
    void Reset(Nanoseconds now, bool running);

private:
    void Clear(Nanoseconds now);

    std::atomic<int64_t> window_start{0};
    std::atomic<int64_t> last_tick{0};
    std::atomic<uint64_t> ticks{0};
    std::atomic<uint64_t> missed{0};
    std::atomic<uint64_t> exchanges{0};
    std::atomic<uint64_t> failed{0};
    std::array<std::atomic<uint64_t>, kInterventions> interventions{};
    LatencyHistogram lateness;
    LatencyHistogram exchange_time;
    std::atomic<bool> reset_asked{false};
    std::atomic<int64_t> processor_start{0};
    std::atomic<int64_t> processor_now{0};
};

}  // namespace Ornix::Companion
