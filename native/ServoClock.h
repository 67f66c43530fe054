// The clock the servo loop is paced by: the monotonic clock, and a wait until a deadline that
// sleeps, then spins the last stretch, since waking from a sleep comes later than asked by tens
// to hundreds of microseconds. Tests give the loop a clock of their own.
#pragma once

#include <chrono>

namespace Ornix::Companion {

class ServoClock {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    // A time or a duration in seconds, as Python reads them.
    static double Seconds(Nanoseconds time) { return std::chrono::duration<double>(time).count(); }

    virtual ~ServoClock() = default;
    // The monotonic time: the clock Python's time.monotonic reads.
    virtual Nanoseconds Now() = 0;
    // Returns at `deadline`, or at once when it has passed.
    virtual void WaitUntil(Nanoseconds deadline) = 0;
};

class SteadyServoClock : public ServoClock {
public:
    // How long before a deadline the wait stops sleeping and spins.
    static constexpr Nanoseconds kSpin = std::chrono::microseconds(100);

    Nanoseconds Now() override;
    void WaitUntil(Nanoseconds deadline) override;
};

}  // namespace Ornix::Companion
