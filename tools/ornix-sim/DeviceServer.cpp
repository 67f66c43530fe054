#include "DeviceServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "Readiness.h"

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

// Replies waiting beyond this, in the link or for the host, stop the reading of requests, so
// that a host that writes without reading is held up instead of the replies growing without
// bound.
constexpr std::size_t kMostPendingReplies = 64 * 1024;
// A real handle's stream overruns a host that does not read it; the packets that wait here
// beyond the port's own queue are kept up to this many bytes, the oldest dropped whole.
constexpr std::size_t kMostPendingUnasked = 4096;

}  // namespace

DeviceServer::DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                           const std::string& link, const std::optional<LinkModel>& latency,
                           StopSignal& stop)
    : device_(std::move(device)), faults_(faults), stop_(stop) {
    if (!link.empty()) {
        link_.emplace(link, terminal_.SlavePath());
    }
    if (latency) {
        latency_.emplace(*latency, Clock::now());
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
        const int master = terminal_.MasterFd();
        const bool taking = Waiting() < kMostPendingReplies;
        Readiness ready;
        ready.WatchRead(stop_.Fd());
        if (taking) {
            ready.WatchRead(master);
        } else {
            // Time spent holding the host up does not make its unfinished frame stale.
            last_input_ = Clock::now();
        }
        if (!output_.Empty()) {
            ready.WatchWrite(master);
        }
        std::optional<Clock::time_point> wake;
        if (streams) {
            wake = next_unasked;
        }
        if (const auto release = LinkRelease()) {
            wake = wake ? std::min(*wake, *release) : *release;
        }
        if (!ready.Wait(wake)) {
            std::fprintf(stderr, "ornix-sim: %s: select failed: %s\n", PortPath().c_str(),
                         std::strerror(errno));
            return;
        }
        if (ready.Readable(stop_.Fd())) {
            return;
        }
        if (!Forward()) {
            return;
        }
        if (ready.Writable(master) && !Flush()) {
            return;
        }
        if (ready.Readable(master) && !TakeInput()) {
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
        if (latency_) {
            latency_->Add(message_.size(), Clock::now());
            in_link_.push_back({message_, 0, !is_reply});
        } else {
            output_.Add(message_.data(), message_.size(), Clock::now(), !is_reply);
            output_.DropOldest(kMostPendingUnasked);
            if (!Flush()) {
                return false;
            }
        }
    }
    if (outcome.hang_up) {
        HangUp();
        return false;
    }
    return true;
}

bool DeviceServer::Flush() { return output_.WriteTo(terminal_.MasterFd()); }

bool DeviceServer::Forward() {
    if (!latency_) {
        return true;
    }
    const auto now = Clock::now();
    std::size_t released = latency_->Release(now);
    if (released == 0) {
        return true;
    }
    while (released > 0) {
        InLink& message = in_link_.front();
        const std::size_t taken = std::min(released, message.bytes.size() - message.sent);
        // A packet may only be dropped whole, so a part of one that the link split is kept.
        const bool whole = message.sent == 0 && taken == message.bytes.size();
        output_.Add(message.bytes.data() + message.sent, taken, now, message.droppable && whole);
        message.sent += taken;
        released -= taken;
        if (message.sent == message.bytes.size()) {
            in_link_.pop_front();
        }
    }
    output_.DropOldest(kMostPendingUnasked);
    return Flush();
}

std::optional<DeviceServer::Clock::time_point> DeviceServer::LinkRelease() const {
    return latency_ ? latency_->NextRelease() : std::nullopt;
}

std::size_t DeviceServer::Waiting() const {
    return output_.Size() + (latency_ ? latency_->Held() : 0);
}

bool DeviceServer::WaitOutDelay() {
    return faults_.ReplyDelay().count() == 0 || Pause(faults_.ReplyDelay());
}

void DeviceServer::HangUp() {
    const auto settled = Clock::now() + kHangUpSettling;
    const auto deadline = Clock::now() + kLongestHangUpWait;
    while (Clock::now() < deadline &&
           (Clock::now() < settled || Waiting() > 0 || terminal_.Unread() > 0) && Flush() &&
           Pause(kHangUpPoll)) {
    }
    terminal_.HangUp();
}

bool DeviceServer::Pause(std::chrono::milliseconds duration) {
    // Waiting on the stop signal keeps a slow device from holding up the end of the program.
    const auto until = Clock::now() + duration;
    while (Clock::now() < until) {
        Readiness ready;
        ready.WatchRead(stop_.Fd());
        auto wake = until;
        if (const auto release = LinkRelease()) {
            wake = std::min(wake, *release);
        }
        if (!ready.Wait(wake)) {
            return true;
        }
        if (ready.Readable(stop_.Fd()) || !Forward()) {
            return false;
        }
    }
    return true;
}
