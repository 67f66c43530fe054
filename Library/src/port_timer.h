// Millisecond stopwatch on the wall clock, used to bound every timed read of the serial port.
// The clock is a parameter so that tests can make it jump, as a wall clock does when it is set.
#pragma once

#include <sys/time.h>

#include <cstdint>

namespace Ornix::HardwareAPI::IO {

class port_timer {
public:
    using clock_function = timeval (*)();

    explicit port_timer(clock_function clock = &wall_clock);

    void start();

    // Milliseconds since start(); negative when the clock has been set back since.
    int32_t elapsed_ms() const;

    // elapsed_ms() as the budgets see it: a clock that has been set back since start() gives a
    // huge count, so that a clock change can end a wait but never stretch it.
    uint64_t spent_ms() const;
    bool spent(uint32_t budget_ms) const { return spent_ms() >= budget_ms; }

    static timeval wall_clock();

private:
    clock_function clock;
    timeval started{};
};

}  // namespace Ornix::HardwareAPI::IO
