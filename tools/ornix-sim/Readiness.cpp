#include "Readiness.h"

#include <algorithm>
#include <cerrno>

Readiness::Readiness() {
    FD_ZERO(&readable_);
    FD_ZERO(&writable_);
}

void Readiness::WatchRead(int fd) {
    FD_SET(fd, &readable_);
    highest_ = std::max(highest_, fd);
}

void Readiness::WatchWrite(int fd) {
    FD_SET(fd, &writable_);
    highest_ = std::max(highest_, fd);
}

void Readiness::WakeBy(Clock::time_point when) { wake_ = wake_ ? std::min(*wake_, when) : when; }

bool Readiness::Wait() {
    timeval limit{};
    if (wake_) {
        // Rounded up, so that the wait never ends before the time its participant asked for.
        const auto left =
            std::max(std::chrono::ceil<std::chrono::microseconds>(*wake_ - Clock::now()),
                     std::chrono::microseconds(0));
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    }
    if (::select(highest_ + 1, &readable_, &writable_, nullptr, wake_ ? &limit : nullptr) >= 0) {
        return true;
    }
    FD_ZERO(&readable_);
    FD_ZERO(&writable_);
    return errno == EINTR;
}
