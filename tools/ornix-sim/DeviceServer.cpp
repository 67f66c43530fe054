#include "DeviceServer.h"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

int MillisecondsUntil(std::chrono::steady_clock::time_point when) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
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
        pollfd watched[2] = {{stop_.Fd(), POLLIN, 0}, {terminal_.MasterFd(), POLLIN, 0}};
        const int timeout = streams ? MillisecondsUntil(next_unasked) : -1;
        if (::poll(watched, 2, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "ornix-sim: %s: poll failed: %s\n", PortPath().c_str(),
                         std::strerror(errno));
            return;
        }
        if (watched[0].revents != 0) {
            return;
        }
        if (watched[1].revents & POLLIN) {
            if (!TakeInput()) {
                return;
            }
        } else if (watched[1].revents != 0) {
            // The slave stays open here, so the line has failed in a way no host can repair.
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
    const std::size_t count = terminal_.Read(chunk, sizeof chunk);
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
        pollfd stop = {stop_.Fd(), POLLIN, 0};
        const int ready = ::poll(&stop, 1, MillisecondsUntil(until));
        if (ready > 0) {
            return false;
        }
        if (ready == 0 || errno != EINTR) {
            return true;
        }
    }
}
