#include "DeviceServer.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace {

constexpr std::size_t kReadChunk = 4096;
// Hosts write each frame in one go, so the beginning of a frame still incomplete after this
// long is the remains of an exchange the host gave up; it must not swallow the next frame.
constexpr std::chrono::milliseconds kStaleInput{200};
// Hanging up discards what the host has not read, so the last answer gets up to this long to
// be read first. Written bytes reach the host's queue a moment after the write, hence the
// settling time before an empty queue counts.
constexpr std::chrono::milliseconds kLongestHangUpWait{1000};
constexpr std::chrono::milliseconds kHangUpSettling{20};
constexpr std::chrono::milliseconds kHangUpPoll{1};

// Waits until `first` or `second` (-1 for none) is readable, or until `until` if it is set:
// select, not poll, since macOS does not support poll on terminal devices. The result is
// select's; `readable` tells which.
int WaitReadable(int first, int second, const std::chrono::steady_clock::time_point* until,
                 fd_set& readable) {
    FD_ZERO(&readable);
    FD_SET(first, &readable);
    if (second >= 0) {
        FD_SET(second, &readable);
    }
    timeval limit{};
    if (until != nullptr) {
        const auto left = std::max(
            std::chrono::ceil<std::chrono::microseconds>(*until - std::chrono::steady_clock::now()),
            std::chrono::microseconds(0));
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
    }
    return ::select(std::max(first, second) + 1, &readable, nullptr, nullptr,
                    until != nullptr ? &limit : nullptr);
}

}  // namespace

DeviceServer::DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                           const std::string& link, StopSignal& stop)
    : device_(std::move(device)), faults_(faults), stop_(stop) {
    if (!link.empty()) {
        link_.emplace(link, terminal_.SlavePath());
    }
    pending_.reserve(2 * kReadChunk);
    thread_ = std::thread([this] { Serve(); });
}

DeviceServer::~DeviceServer() {
    stop_.Request();
    thread_.join();
}

void DeviceServer::Serve() {
    const auto period = device_->UnaskedPeriod();
    const bool streams = period.count() > 0;
    auto next_unasked = Clock::now() + period;
    while (true) {
        fd_set readable;
        if (WaitReadable(stop_.Fd(), terminal_.MasterFd(), streams ? &next_unasked : nullptr,
                         readable) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "ornix-sim: %s: select failed: %s\n", PortPath().c_str(),
                         std::strerror(errno));
            return;
        }
        if (FD_ISSET(stop_.Fd(), &readable)) {
            return;
        }
        if (FD_ISSET(terminal_.MasterFd(), &readable) && !TakeInput()) {
            return;
        }
        if (streams && Clock::now() >= next_unasked) {
            message_.clear();
            ByteWriter writer(message_);
            device_->WriteUnasked(writer);
            if (!Send(false)) {
                return;
            }
            next_unasked += period;
            // After a stall the stream resumes at its rate instead of bursting to catch up.
            if (next_unasked < Clock::now()) {
                next_unasked = Clock::now() + period;
            }
        }
    }
}

bool DeviceServer::TakeInput() {
    std::uint8_t chunk[kReadChunk];
    const std::optional<std::size_t> read = terminal_.Read(chunk, sizeof chunk);
    if (!read) {
        // The slave stays open here, so the line has failed in a way no host can repair.
        return false;
    }
    const std::size_t count = *read;
    if (count == 0) {
        return true;
    }
    const auto now = Clock::now();
    if (!pending_.empty() && now - last_input_ > kStaleInput) {
        pending_.clear();
    }
    last_input_ = now;
    pending_.insert(pending_.end(), chunk, chunk + count);

    std::size_t start = 0;
    bool serving = true;
    while (serving && start < pending_.size()) {
        message_.clear();
        ByteWriter writer(message_);
        const std::size_t taken =
            device_->Serve(pending_.data() + start, pending_.size() - start, writer);
        if (taken == 0) {
            break;
        }
        start += taken;
        if (!message_.empty()) {
            serving = Send(true);
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(start));
    return serving;
}

bool DeviceServer::Send(bool is_reply) {
    const FaultInjector::Outcome outcome = faults_.Apply(message_);
    if (outcome.send) {
        if (is_reply && !WaitOutDelay()) {
            return false;
        }
        terminal_.Write(message_.data(), message_.size());
    }
    if (outcome.hang_up) {
        HangUp();
        return false;
    }
    return true;
}

bool DeviceServer::WaitOutDelay() {
    return faults_.ReplyDelay().count() == 0 || Pause(faults_.ReplyDelay());
}

void DeviceServer::HangUp() {
    const auto settled = Clock::now() + kHangUpSettling;
    const auto deadline = Clock::now() + kLongestHangUpWait;
    while (Clock::now() < deadline && (Clock::now() < settled || terminal_.Unread() > 0) &&
           Pause(kHangUpPoll)) {
    }
    terminal_.HangUp();
}

bool DeviceServer::Pause(std::chrono::milliseconds duration) {
    // Waiting on the stop signal keeps a slow device from holding up the end of the program.
    const auto until = Clock::now() + duration;
    while (true) {
        fd_set readable;
        const int ready = WaitReadable(stop_.Fd(), -1, &until, readable);
        if (ready > 0) {
            return false;
        }
        if (ready == 0 || errno != EINTR) {
            return true;
        }
    }
}
