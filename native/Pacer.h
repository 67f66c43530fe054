// The servo loop's schedule: ticks on a grid of absolute deadlines, one period apart, so that
// lateness never accumulates into drift. A tick may start up to a period late; a deadline the
// loop could not start within its period is skipped and counted, never made up by a burst.
#pragma once

#include <chrono>
#include <cstdint>

namespace Ornix::Companion {

class Pacer {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    explicit Pacer(Nanoseconds period) : period(period) {}

    Nanoseconds Period() const { return period; }
    // The first tick is due at `now`.
    void Start(Nanoseconds now) { deadline = now; }
    // When the next tick is due.
    Nanoseconds Deadline() const { return deadline; }
    // Moves on to the deadline after the tick just done, at `now`: the count of deadlines
    // skipped because they had passed by more than a period.
    uint64_t Advance(Nanoseconds now);

private:
    Nanoseconds period;
    Nanoseconds deadline{};
};

}  // namespace Ornix::Companion
