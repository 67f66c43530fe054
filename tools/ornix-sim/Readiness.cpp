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

bool Readiness::Wait(const std::optional<Clock::time_point>& until) {
    timeval limit{};
    if (until) {
        const auto left =
            std::max(std::chrono::ceil<std::chrono::microseconds>(*until - Clock::now()),
                     std::chrono::microseconds(0));
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    }
    if (::select(highest_ + 1, &readable_, &writable_, nullptr, until ? &limit : nullptr) >= 0) {
        return true;
    }
    FD_ZERO(&readable_);
    FD_ZERO(&writable_);
    return errno == EINTR;
}
