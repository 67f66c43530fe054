#include "port_timer.h"

namespace Ornix::HardwareAPI::IO {

port_timer::port_timer(clock_function clock) : clock(clock) {}

void port_timer::start() { started = clock(); }

int32_t port_timer::elapsed_ms() const {
    const timeval now = clock();
    int64_t seconds = static_cast<int64_t>(now.tv_sec) - started.tv_sec;
    int64_t microseconds = static_cast<int64_t>(now.tv_usec) - started.tv_usec;
    if (microseconds < 0) {
        microseconds += 1000000;
        seconds -= 1;
    }
    return static_cast<int32_t>(seconds * 1000 + microseconds / 1000);
}

uint64_t port_timer::spent_ms() const {
    return static_cast<uint64_t>(static_cast<int64_t>(elapsed_ms()));
}

timeval port_timer::wall_clock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}

}  // namespace Ornix::HardwareAPI::IO
