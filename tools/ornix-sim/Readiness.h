#pragma once

#include <sys/select.h>

#include <chrono>
#include <optional>

// One wait of the event loop: the descriptors its participants watch for input and for room,
// the earliest time one of them must run again, and which descriptors select found ready.
// select, not poll: macOS cannot poll terminal devices.
class Readiness {
public:
    using Clock = std::chrono::steady_clock;

    Readiness();

    void WatchRead(int fd);
    void WatchWrite(int fd);
    // The wait ends by `when` at the latest; the earliest of all times given counts.
    void WakeBy(Clock::time_point when);
    // Waits until a watched descriptor is ready or the earliest wake-up has come (never, without
    // one). False when select has failed, with errno set; an interrupted wait counts as a wait
    // that found nothing.
    bool Wait();

    // False for a descriptor that was not watched, or is no longer open (negative).
    bool Readable(int fd) const { return fd >= 0 && FD_ISSET(fd, &readable_); }
    bool Writable(int fd) const { return fd >= 0 && FD_ISSET(fd, &writable_); }

private:
    fd_set readable_;
    fd_set writable_;
    int highest_ = -1;
    std::optional<Clock::time_point> wake_;
};
