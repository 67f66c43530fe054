#include "ServoClock.h"

#include <thread>

namespace Ornix::Companion {

ServoClock::Nanoseconds SteadyServoClock::Now() {
    return std::chrono::duration_cast<Nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyServoClock::WaitUntil(Nanoseconds deadline) {
    const Nanoseconds sleep_until = deadline - kSpin;
    if (Now() < sleep_until) {
        // Absolute, so that however late this wakes, the deadline itself does not drift.
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(sleep_until)));
    }
    while (Now() < deadline) {
    }
}

}  // namespace Ornix::Companion
