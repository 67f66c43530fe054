#include "RealTimePriority.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstring>

#ifdef __APPLE__
#include <mach/mach.h>
#include <mach/mach_time.h>
#include <mach/thread_policy.h>
#endif

namespace Ornix::Companion {

namespace {

#ifndef __APPLE__
// Below the kernel's interrupt threads, at 50, which deliver the device's answers: the servo
// loop waits on them and must not starve them.
constexpr int kFifoPriority = 40;
#endif

}  // namespace

RealTimePriority::Obtained RealTimePriority::RaiseCallingThread(std::chrono::nanoseconds period) {
#ifdef __APPLE__
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    const auto ticks = [&](std::chrono::nanoseconds duration) {
        return static_cast<uint32_t>(static_cast<uint64_t>(duration.count()) * timebase.denom /
                                     timebase.numer);
    };
    thread_time_constraint_policy_data_t policy{};
    policy.period = ticks(period);
    // The work of a tick is an exchange, mostly waiting for the device: a quarter of the period
    // of processor time, done within the period.
    policy.computation = ticks(period / 4);
    policy.constraint = ticks(period);
    policy.preemptible = 1;
    const kern_return_t result = thread_policy_set(
        pthread_mach_thread_np(pthread_self()), THREAD_TIME_CONSTRAINT_POLICY,
        reinterpret_cast<thread_policy_t>(&policy), THREAD_TIME_CONSTRAINT_POLICY_COUNT);
    if (result == KERN_SUCCESS) {
        return {"time-constraint", ""};
    }
    return {"normal", mach_error_string(result)};
#else
    (void)period;
    sched_param parameters{};
    parameters.sched_priority = std::min(kFifoPriority, sched_get_priority_max(SCHED_FIFO));
    const int result = pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
    if (result == 0) {
        return {"SCHED_FIFO", ""};
    }
    return {"normal", std::strerror(result)};
#endif
}

}  // namespace Ornix::Companion
