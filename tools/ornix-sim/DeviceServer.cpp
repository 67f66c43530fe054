#include "DeviceServer.h"

#include <algorithm>
#include <utility>

namespace {

constexpr std::size_t kReadChunk = 4096;
// Hosts write each frame in one go, so the beginning of a frame still incomplete after this
// long is the remains of an exchange the host gave up; it must not swallow the next frame.
constexpr std::chrono::milliseconds kStaleInput{200};
// Hanging up discards what the host has not read, so the last answer gets up to this long to
// be read first. Written bytes reach the host's queue a moment after the write, hence the
// settling time before an empty queue counts. The host's queue cannot be watched with select,
// so it is looked at every kHangUpPoll.
constexpr std::chrono::milliseconds kLongestHangUpWait{1000};
constexpr std::chrono::milliseconds kHangUpSettling{20};
constexpr std::chrono::milliseconds kHangUpPoll{1};

// A real handle's stream overruns a host that does not read it; the packets that wait here
// beyond the port's own queue are kept up to this many bytes, the oldest dropped whole.
constexpr std::size_t kMostPendingUnasked = 4096;

}  // namespace

DeviceServer::DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                           const std::string& link, const std::optional<LinkModel>& latency)
    : device_(std::move(device)), faults_(faults) {
    if (!link.empty()) {
        link_.emplace(link, terminal_.SlavePath());
    }
    if (latency) {
        latency_.emplace(*latency, Clock::now());
    }
    pending_.reserve(2 * kReadChunk);
    unasked_period_ = device_->UnaskedPeriod();
    next_unasked_ = Clock::now() + unasked_period_;
}

void DeviceServer::Watch(Readiness& ready) {
    if (state_ == State::Ended) {
        return;
    }
    // Whatever else it waits for, a device passes on what the link releases.
    if (const std::optional<Clock::time_point> release = LinkRelease()) {
        ready.WakeBy(*release);
    }
    switch (state_) {
        case State::Serving: {
            const int master = terminal_.MasterFd();
            if (Waiting() < PendingOutput::kMostPending) {
                ready.WatchRead(master);
            } else {
                // Time spent holding the host up does not make its unfinished frame stale.
                last_input_ = Clock::now();
            }
            if (!output_.Empty()) {
                ready.WatchWrite(master);
            }
            if (unasked_period_.count() > 0) {
                ready.WakeBy(next_unasked_);
            }
            return;
        }
        case State::Holding:
            ready.WakeBy(held_until_);
            return;
        case State::HangingUp:
            ready.WakeBy(hang_up_look_);
            return;
        case State::Ended:
            return;
    }
}

void DeviceServer::Handle(const Readiness& ready) {
    switch (state_) {
        case State::Serving: {
            const int master = terminal_.MasterFd();
            if (!Forward() || (ready.Writable(master) && !Flush())) {
                state_ = State::Ended;
                return;
            }
            if (ready.Readable(master) && !TakeInput()) {
                return;
            }
            break;
        }
        case State::Holding:
            if (!Forward()) {
                state_ = State::Ended;
                return;
            }
            if (Clock::now() < held_until_) {
                return;
            }
            state_ = State::Serving;
            // The requests that came with the one answered go on being served.
            if (!Deliver(held_, true, true, hang_up_after_held_) || !ServePending()) {
                return;
            }
            break;
        case State::HangingUp:
            if (!Forward()) {
                HangUpNow();
            } else if (Clock::now() >= hang_up_look_) {
                LookBeforeHangingUp();
            }
            return;
        case State::Ended:
            return;
    }
    SendUnasked();
}

bool DeviceServer::TakeInput() {
    std::uint8_t chunk[kReadChunk];
    const std::optional<std::size_t> read = terminal_.Read(chunk, sizeof chunk);
    if (!read) {
        // The slave stays open here, so the line has failed in a way no host can repair.
        state_ = State::Ended;
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
    return ServePending();
}

bool DeviceServer::ServePending() {
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
    if (outcome.send && is_reply && faults_.ReplyDelay().count() > 0) {
        held_ = message_;
        hang_up_after_held_ = outcome.hang_up;
        held_until_ = Clock::now() + faults_.ReplyDelay();
        state_ = State::Holding;
        return false;
    }
    return Deliver(message_, is_reply, outcome.send, outcome.hang_up);
}

bool DeviceServer::Deliver(const std::vector<std::uint8_t>& message, bool is_reply, bool send,
                           bool hang_up) {
    if (send) {
        if (latency_) {
            latency_->Add(message.size(), Clock::now());
            in_link_.push_back({message, 0, !is_reply});
        } else {
            output_.Add(message.data(), message.size(), Clock::now(), !is_reply);
            output_.DropOldest(kMostPendingUnasked);
            if (!Flush()) {
                state_ = State::Ended;
                return false;
            }
        }
    }
    if (hang_up) {
        BeginHangUp();
        return false;
    }
    return true;
}

void DeviceServer::SendUnasked() {
    if (unasked_period_.count() == 0 || state_ != State::Serving || Clock::now() < next_unasked_) {
        return;
    }
    message_.clear();
    ByteWriter writer(message_);
    device_->WriteUnasked(writer);
    if (!Send(false)) {
        return;
    }
    next_unasked_ += unasked_period_;
    // After a stall the stream resumes at its rate instead of bursting to catch up.
    if (next_unasked_ < Clock::now()) {
        next_unasked_ = Clock::now() + unasked_period_;
    }
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

void DeviceServer::BeginHangUp() {
    const auto now = Clock::now();
    hang_up_settled_ = now + kHangUpSettling;
    hang_up_latest_ = now + kLongestHangUpWait;
    state_ = State::HangingUp;
    LookBeforeHangingUp();
}

void DeviceServer::LookBeforeHangingUp() {
    const auto now = Clock::now();
    if (now < hang_up_latest_ &&
        (now < hang_up_settled_ || Waiting() > 0 || terminal_.Unread() > 0) && Flush()) {
        hang_up_look_ = Clock::now() + kHangUpPoll;
        return;
    }
    HangUpNow();
}

void DeviceServer::HangUpNow() {
    terminal_.HangUp();
    state_ = State::Ended;
}
