// Asks the system to run the calling thread in real time: SCHED_FIFO on Linux, the
// time-constraint policy on macOS. A refusal (no privilege, no such policy) leaves the thread as
// it was: the servo loop runs all the same, and says which policy it got.
#pragma once

#include <chrono>
#include <string>

namespace Ornix::Companion {

class RealTimePriority {
public:
    struct Obtained {
        std::string policy;   // "SCHED_FIFO", "time-constraint" or "normal"
        std::string refusal;  // why real time was refused; empty when it was granted
    };

    // For a thread that works `period` after `period`.
    static Obtained RaiseCallingThread(std::chrono::nanoseconds period);
};

}  // namespace Ornix::Companion
