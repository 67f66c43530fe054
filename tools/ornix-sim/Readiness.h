#pragma once

#include <sys/select.h>

#include <chrono>
#include <optional>

// One wait of a serving loop: the descriptors it watches for input and for room, and which of
// them select found ready. select, not poll: macOS cannot poll terminal devices.
class Readiness {
public:
    using Clock = std::chrono::steady_clock;

    Readiness();

    void WatchRead(int fd);
    void WatchWrite(int fd);
    // Waits until a watched descriptor is ready or `until` has come (never without it). False
    // when select has failed, with errno set; an interrupted wait counts as a wait that found
    // nothing.
    bool Wait(const std::optional<Clock::time_point>& until);

    bool Readable(int fd) const { return FD_ISSET(fd, &readable_); }
    bool Writable(int fd) const { return FD_ISSET(fd, &writable_); }

private:
    fd_set readable_;
    fd_set writable_;
    int highest_ = -1;
};
