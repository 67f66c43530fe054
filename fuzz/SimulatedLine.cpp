#include "SimulatedLine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>

// glibc declares some of these functions as not throwing; the definitions must say the same.
#ifndef __THROW
#define __THROW
#endif

namespace Ornix::Fuzzing {

namespace {

// The one line of the process: the system calls it answers are the process's own.
std::atomic<SimulatedLine*> line{nullptr};

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

uint64_t Microseconds(const timeval& interval) {
    return static_cast<uint64_t>(interval.tv_sec) * 1000000 +
           static_cast<uint64_t>(interval.tv_usec);
}

// How the line answers a write, from the decision byte.
constexpr uint8_t kFirstRefusal = 0xC0;      // from here: EAGAIN, the port's buffer is full
constexpr uint8_t kFirstInterrupted = 0xF0;  // from here: EINTR
constexpr uint8_t kFirstFailure = 0xF8;      // from here: EIO, the device is gone

// How the line answers a wait for room to write, from the decision byte.
constexpr uint8_t kFirstTimeOut = 0xE0;        // from here: no room within the limit
constexpr uint8_t kFirstWaitInterrupt = 0xF8;  // from here: EINTR
constexpr uint8_t kFirstWaitFailure = 0xFC;    // from here: the wait itself fails

void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

SimulatedLine::SimulatedLine(uint64_t reading_step_us) : reading_step_us(reading_step_us) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    Require(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    path = ptsname(master);
    SimulatedLine* none = nullptr;
    Require(line.compare_exchange_strong(none, this));
}

SimulatedLine::~SimulatedLine() {
    line = nullptr;
    close(master);
}

void SimulatedLine::Restart(Decisions* decisions) {
    this->decisions = decisions;
    on_the_way.clear();
    readable.clear();
    written.clear();
    failures = 0;
}

timeval SimulatedLine::Now() {
    now_us += reading_step_us;
    return {static_cast<time_t>(now_us / 1000000), static_cast<suseconds_t>(now_us % 1000000)};
}

timeval SimulatedLine::Clock() { return line.load()->Now(); }

void SimulatedLine::Send(const uint8_t* bytes, size_t count, uint64_t delay_us) {
    // A line keeps the order of what is sent: nothing overtakes what went before it.
    uint64_t at = now_us + delay_us;
    if (!on_the_way.empty()) {
        at = std::max(at, on_the_way.back().at_us);
    }
    for (size_t i = 0; i < count; ++i) {
        on_the_way.push_back({at, bytes[i]});
    }
}

void SimulatedLine::Opened(int opened, const char* opened_path) {
    if (opened >= 0 && path == opened_path) {
        descriptor = opened;
    }
}

void SimulatedLine::Closed() { descriptor = -1; }

bool SimulatedLine::Watched(int count, const fd_set* readers, const fd_set* writers) const {
    if (count == 0) {
        return readers == nullptr && writers == nullptr;  // a pause
    }
    return descriptor >= 0 && descriptor < count &&
           ((readers != nullptr && FD_ISSET(descriptor, readers)) ||
            (writers != nullptr && FD_ISSET(descriptor, writers)));
}

bool SimulatedLine::Owns(int candidate) const { return candidate >= 0 && candidate == descriptor; }

void SimulatedLine::Deliver() {
    while (!on_the_way.empty() && on_the_way.front().at_us <= now_us) {
        readable.push_back(on_the_way.front().byte);
        on_the_way.pop_front();
    }
}

ssize_t SimulatedLine::Read(void* buffer, size_t count) {
    Deliver();
    // Raw mode without a minimum or a time: a read returns at once with what has arrived.
    const size_t n = std::min(count, readable.size());
    std::copy_n(readable.begin(), n, static_cast<uint8_t*>(buffer));
    readable.erase(readable.begin(), readable.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<ssize_t>(n);
}

ssize_t SimulatedLine::Write(const void* bytes, size_t count) {
    if (count == 0) {
        return 0;
    }
    const uint8_t decision = decisions != nullptr ? decisions->Next(kFirstRefusal) : kFirstRefusal;
    if (decision >= kFirstFailure) {
        ++failures;
        errno = EIO;
        return -1;
    }
    if (decision >= kFirstInterrupted) {
        errno = EINTR;
        return -1;
    }
    if (decision >= kFirstRefusal) {
        errno = EAGAIN;
        return -1;
    }
    const size_t taken = 1 + decision % count;
    const uint8_t* const from = static_cast<const uint8_t*>(bytes);
    written.insert(written.end(), from, from + taken);
    return static_cast<ssize_t>(taken);
}

int SimulatedLine::Select(int count, fd_set* readers, fd_set* writers, fd_set* failed,
                          timeval* limit) {
    const uint64_t limit_us = Microseconds(*limit);
    const bool for_reading = count > 0 && readers != nullptr && FD_ISSET(descriptor, readers);
    const bool for_writing = count > 0 && writers != nullptr && FD_ISSET(descriptor, writers);
    const auto answer = [&](bool ready) {
        for (fd_set* set : {readers, writers, failed}) {
            if (set != nullptr) {
                FD_ZERO(set);
            }
        }
        if (ready) {
            FD_SET(descriptor, for_writing ? writers : readers);
        }
        return ready ? 1 : 0;
    };
    if (for_writing) {
        const uint8_t decision =
            decisions != nullptr ? decisions->Next(kFirstTimeOut) : kFirstTimeOut;
        if (decision >= kFirstWaitFailure) {
            errno = ENOMEM;
            return -1;
        }
        if (decision >= kFirstWaitInterrupt) {
            Pass(limit_us * (decision % 4) / 4);
            errno = EINTR;
            return -1;
        }
        if (decision >= kFirstTimeOut) {
            Pass(limit_us);
            return answer(false);
        }
        Pass(limit_us * (decision % 32) / 32);
        return answer(true);
    }
    if (for_reading) {
        Deliver();
        if (readable.empty() && !on_the_way.empty() &&
            on_the_way.front().at_us - now_us <= limit_us) {
            now_us = on_the_way.front().at_us;
            Deliver();
        } else if (readable.empty()) {
            Pass(limit_us);
        }
        return answer(!readable.empty());
    }
    Pass(limit_us);
    return answer(false);
}

int SimulatedLine::Waiting() {
    Deliver();
    return static_cast<int>(readable.size());
}

void SimulatedLine::Flush() {
    Deliver();
    readable.clear();
}

void SimulatedLine::Pass(uint64_t microseconds) { now_us += microseconds; }

}  // namespace Ornix::Fuzzing

using Ornix::Fuzzing::Next;
using Ornix::Fuzzing::SimulatedLine;

namespace {

// The line, when `fd` is its descriptor.
SimulatedLine* Simulating(int fd) {
    SimulatedLine* const simulated = Ornix::Fuzzing::line.load();
    return simulated != nullptr && simulated->Owns(fd) ? simulated : nullptr;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
    static const auto next = Next<int (*)(const char*, int, ...)>("open");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, int));
        va_end(arguments);
    }
    const int opened = next(path, flags, mode);
    if (SimulatedLine* const simulated = Ornix::Fuzzing::line.load()) {
        simulated->Opened(opened, path);
    }
    return opened;
}

extern "C" int close(int fd) {
    static const auto next = Next<int (*)(int)>("close");
    if (SimulatedLine* const simulated = Simulating(fd)) {
        simulated->Closed();
    }
    return next(fd);
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
    if (SimulatedLine* const simulated = Simulating(fd)) {
        return simulated->Read(buffer, count);
    }
    return next(fd, buffer, count);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    if (SimulatedLine* const simulated = Simulating(fd)) {
        return simulated->Write(data, size);
    }
    return next(fd, data, size);
}

extern "C" int select(int count, fd_set* readers, fd_set* writers, fd_set* failed, timeval* limit) {
    static const auto next = Next<int (*)(int, fd_set*, fd_set*, fd_set*, timeval*)>("select");
    SimulatedLine* const simulated = Ornix::Fuzzing::line.load();
    if (simulated != nullptr && limit != nullptr && simulated->Watched(count, readers, writers)) {
        return simulated->Select(count, readers, writers, failed, limit);
    }
    return next(count, readers, writers, failed, limit);
}

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
    static const auto next = Next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    SimulatedLine* const simulated = Simulating(fd);
    if (simulated != nullptr && request == FIONREAD) {
        *static_cast<int*>(argument) = simulated->Waiting();
        return 0;
    }
    return next(fd, request, argument);
}

extern "C" int tcflush(int fd, int queue) __THROW {
    static const auto next = Next<int (*)(int, int)>("tcflush");
    if (SimulatedLine* const simulated = Simulating(fd)) {
        if (queue == TCIFLUSH || queue == TCIOFLUSH) {
            simulated->Flush();
        }
        return 0;
    }
    return next(fd, queue);
}

// The port pauses between polls with one or the other.
extern "C" int nanosleep(const timespec* pause, timespec* left) {
    static const auto next = Next<int (*)(const timespec*, timespec*)>("nanosleep");
    if (SimulatedLine* const simulated = Ornix::Fuzzing::line.load()) {
        simulated->Pass(static_cast<uint64_t>(pause->tv_sec) * 1000000 +
                        static_cast<uint64_t>(pause->tv_nsec) / 1000);
        return 0;
    }
    return next(pause, left);
}

extern "C" int usleep(useconds_t microseconds) {
    static const auto next = Next<int (*)(useconds_t)>("usleep");
    if (SimulatedLine* const simulated = Ornix::Fuzzing::line.load()) {
        simulated->Pass(microseconds);
        return 0;
    }
    return next(microseconds);
}

extern "C" int gettimeofday(timeval* now, void* zone) __THROW {
    static const auto next = Next<int (*)(timeval*, void*)>("gettimeofday");
    if (SimulatedLine* const simulated = Ornix::Fuzzing::line.load()) {
        *now = simulated->Now();
        return 0;
    }
    return next(now, zone);
}
