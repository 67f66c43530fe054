#include "FakeDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace Ornix::Testing {

namespace {

constexpr Microseconds kIdlePoll(5000);
constexpr size_t kFloodQueued = 4096;

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

}  // namespace

FakeDevice::FakeDevice() {
    master_fd = posix_openpt(O_RDWR | O_NOCTTY);
    Check(master_fd >= 0, "posix_openpt");
    Check(grantpt(master_fd) == 0 && unlockpt(master_fd) == 0, "unlockpt");
    path = ptsname(master_fd);
    slave_fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    Check(slave_fd >= 0, "open terminal side");
    // Raw from the start: bytes sent before the code under test configures the port must not
    // be echoed or held back for a line end.
    termios raw{};
    Check(tcgetattr(slave_fd, &raw) == 0, "tcgetattr");
    cfmakeraw(&raw);
    Check(tcsetattr(slave_fd, TCSANOW, &raw) == 0, "tcsetattr");
    Check(fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK) == 0, "fcntl");
    current_step_since = Clock::now();
    worker = std::thread(&FakeDevice::Run, this);
}

FakeDevice::~FakeDevice() {
    // Bytes written just before the test ended may still be on their way.
    WaitUntilPlayed(Milliseconds(1000));
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    worker.join();
    for (const std::string& mismatch : mismatches) {
        ADD_FAILURE() << "fake device " << path << ": " << mismatch;
    }
    if (next_step < steps.size()) {
        ADD_FAILURE() << "fake device " << path << ": " << steps.size() - next_step
                      << " script steps not played";
    }
    if (master_fd >= 0) {
        close(master_fd);
    }
    close(slave_fd);
}

void FakeDevice::AddStep(Step step) {
    std::lock_guard<std::mutex> lock(mutex);
    if (next_step == steps.size()) {
        current_step_since = Clock::now();
    }
    steps.push_back(std::move(step));
}

Bytes FakeDevice::Received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return received;
}

bool FakeDevice::WaitForReceived(size_t count, Milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [&] { return received.size() >= count; });
}

bool FakeDevice::WaitUntilPlayed(Milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mutex);
    // A flood never ends: all is sent once it has begun.
    return changed.wait_for(lock, limit, [&] {
        return next_step == steps.size() && (outgoing.empty() || !flood.empty());
    });
}

void FakeDevice::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        const Microseconds wait = PlayDueSteps();
        // A flood keeps the line full: there is always more to send than it takes.
        while (!flood.empty() && outgoing.size() < kFloodQueued) {
            outgoing.insert(outgoing.end(), flood.begin(), flood.end());
        }
        if (master_fd < 0) {
            lock.unlock();
            std::this_thread::sleep_for(kIdlePoll);
            lock.lock();
            continue;
        }
        // select, not poll: macOS does not support poll on terminal devices.
        const bool reading = Clock::now() >= reading_from;
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        if (reading) {
            FD_SET(master_fd, &readable);
        }
        if (!outgoing.empty()) {
            FD_SET(master_fd, &writable);
        }
        const int fd = master_fd;
        lock.unlock();
        timeval limit{0, static_cast<suseconds_t>(wait.count())};
        const int ready = select(fd + 1, &readable, &writable, nullptr, &limit);
        lock.lock();
        if (ready > 0 && master_fd == fd) {
            Transfer(FD_ISSET(fd, &readable) != 0, FD_ISSET(fd, &writable) != 0);
        }
    }
}

Microseconds FakeDevice::PlayDueSteps() {
    using Kind = Step::Kind;
    while (next_step < steps.size()) {
        const Step& step = steps[next_step];
        const auto from = received.begin() + static_cast<std::ptrdiff_t>(matched);
        if (step.kind == Kind::Expect) {
            if (received.size() - matched < step.bytes.size()) {
                return kIdlePoll;
            }
            const Bytes got(from, from + static_cast<std::ptrdiff_t>(step.bytes.size()));
            if (got != step.bytes) {
                mismatches.push_back("step " + std::to_string(next_step) + " expected " +
                                     Hex(step.bytes) + ", received " + Hex(got));
            }
            matched += step.bytes.size();
        } else if (step.kind == Kind::Seek) {
            const auto found =
                std::search(from, received.end(), step.bytes.begin(), step.bytes.end());
            if (found == received.end()) {
                return kIdlePoll;
            }
            matched = static_cast<size_t>(found - received.begin()) + step.bytes.size();
        } else if (step.kind == Kind::Stall) {
            // Played at once: the device reads nothing until the duration has passed.
            reading_from = Clock::now() + step.time;
        } else if (step.kind == Kind::Flood) {
            flood = step.bytes;
        } else {
            const auto due = current_step_since + step.time;
            const auto now = Clock::now();
            if (now < due) {
                return std::min<Microseconds>(
                    kIdlePoll,
                    std::chrono::duration_cast<Microseconds>(due - now) + Milliseconds(1));
            }
            if (step.kind == Kind::Reply) {
                outgoing.insert(outgoing.end(), step.bytes.begin(), step.bytes.end());
            } else if (master_fd >= 0) {
                close(master_fd);
                master_fd = -1;
                outgoing.clear();
                flood.clear();
            }
        }
        ++next_step;
        current_step_since = Clock::now();
        changed.notify_all();
    }
    return kIdlePoll;
}

void FakeDevice::Transfer(bool readable, bool writable) {
    if (readable) {
        uint8_t chunk[4096];
        const ssize_t n = read(master_fd, chunk, sizeof chunk);
        if (n > 0) {
            received.insert(received.end(), chunk, chunk + n);
            changed.notify_all();
        }
    }
    if (writable && !outgoing.empty()) {
        const ssize_t n = write(master_fd, outgoing.data(), outgoing.size());
        if (n > 0) {
            outgoing.erase(outgoing.begin(), outgoing.begin() + n);
            changed.notify_all();
        }
    }
}

}  // namespace Ornix::Testing
