#include "WireDecoder.h"

#include <algorithm>

#include "WireCodes.h"

namespace {

using Status = FrameReading::Status;

FrameReading NoFrame(const std::string& why) { return {Status::Invalid, 0, {}, {}, why}; }

}  // namespace

void WireDecoder::Take(Direction from, const std::uint8_t* data, std::size_t size,
                       Clock::time_point when, std::vector<WireFrame>& out) {
    if (size == 0) {
        return;
    }
    const Direction other =
        from == Direction::FromHost ? Direction::FromDevice : Direction::FromHost;
    Extract(other, true, out);
    Pending& pending = Side(from);
    pending.arrivals.emplace_back(pending.bytes.size(), when);
    pending.bytes.insert(pending.bytes.end(), data, data + size);
    pending.last = when;
    Extract(from, false, out);
}

void WireDecoder::CloseStale(Clock::time_point now, std::vector<WireFrame>& out) {
    for (const Direction from : {Direction::FromHost, Direction::FromDevice}) {
        const Pending& pending = Side(from);
        if (!pending.bytes.empty() && now - pending.last >= kTimeout) {
            Extract(from, true, out);
        }
    }
}

std::optional<WireDecoder::Clock::time_point> WireDecoder::NextTimeout() const {
    std::optional<Clock::time_point> next;
    for (const Pending* pending : {&host_, &device_}) {
        if (!pending->bytes.empty() && (!next || pending->last + kTimeout < *next)) {
            next = pending->last + kTimeout;
        }
    }
    return next;
}

void WireDecoder::Finish(std::vector<WireFrame>& out) {
    Extract(Direction::FromHost, true, out);
    Extract(Direction::FromDevice, true, out);
}

FrameReading WireDecoder::Read(Direction from, std::size_t at) const {
    const Pending& pending = from == Direction::FromHost ? host_ : device_;
    const std::uint8_t* bytes = pending.bytes.data() + at;
    const std::size_t size = pending.bytes.size() - at;
    return from == Direction::FromHost ? WireProtocol::ReadRequest(bytes, size)
                                       : WireProtocol::ReadMessage(bytes, size, state_);
}

bool WireDecoder::Resumes(Direction from, std::uint8_t code) const {
    if (from == Direction::FromHost) {
        return true;
    }
    if (std::find(expected_.begin(), expected_.end(), code) != expected_.end()) {
        return true;
    }
    // The handle's compact packets come unasked at any time; before any request every message
    // is as likely as the next.
    return (code == Wire::kStatus && kind_ != DeviceKind::Arm) || (expected_.empty() && !kind_);
}

void WireDecoder::Extract(Direction from, bool closed, std::vector<WireFrame>& out) {
    Pending& pending = Side(from);
    while (!pending.bytes.empty()) {
        const FrameReading first = Read(from, 0);
        if (first.status == Status::Complete) {
            Emit(from, first.length, first, out);
            continue;
        }
        if (first.status == Status::Incomplete) {
            if (closed) {
                Emit(from, pending.bytes.size(), NoFrame("cut short"), out);
            }
            return;
        }
        // No frame starts here: the bytes up to the next frame that can follow form none.
        std::size_t resume = 0;
        bool resume_complete = false;
        for (std::size_t at = 1; at < pending.bytes.size() && resume == 0; ++at) {
            const FrameReading next = Read(from, at);
            if (next.status != Status::Invalid && Resumes(from, pending.bytes[at])) {
                resume = at;
                resume_complete = next.status == Status::Complete;
            }
        }
        if (resume != 0 && resume_complete) {
            Emit(from, resume, first, out);
            continue;
        }
        if (!closed) {
            return;
        }
        if (resume != 0) {
            Emit(from, resume, first, out);
            Emit(from, pending.bytes.size(), NoFrame("cut short"), out);
        } else {
            Emit(from, pending.bytes.size(), first, out);
        }
        return;
    }
}

void WireDecoder::Emit(Direction from, std::size_t count, const FrameReading& reading,
                       std::vector<WireFrame>& out) {
    Pending& pending = Side(from);
    WireFrame frame{
        from,
        pending.arrivals.front().second,
        std::vector<std::uint8_t>(pending.bytes.begin(),
                                  pending.bytes.begin() + static_cast<std::ptrdiff_t>(count)),
        {},
        {},
        {}};
    if (reading.status == Status::Complete) {
        frame.name = reading.name;
        frame.fields = reading.fields;
    } else {
        frame.error = reading.error;
    }
    pending.bytes.erase(pending.bytes.begin(),
                        pending.bytes.begin() + static_cast<std::ptrdiff_t>(count));
    // The read that holds the new first byte gives the next frame its time.
    auto& arrivals = pending.arrivals;
    std::size_t kept = 0;
    while (kept + 1 < arrivals.size() && arrivals[kept + 1].first <= count) {
        ++kept;
    }
    arrivals.erase(arrivals.begin(), arrivals.begin() + static_cast<std::ptrdiff_t>(kept));
    for (auto& arrival : arrivals) {
        arrival.first = arrival.first > count ? arrival.first - count : 0;
    }
    if (pending.bytes.empty()) {
        arrivals.clear();
    }
    Learn(frame);
    out.push_back(std::move(frame));
}

void WireDecoder::Learn(const WireFrame& frame) {
    if (frame.name.empty()) {
        return;
    }
    const std::uint8_t code = frame.bytes.front();
    if (frame.from == Direction::FromHost) {
        expected_ = WireProtocol::ReplyCodes(code);
        if (code == Wire::kStatus) {
            state_.status_requested = true;
        }
        if (!kind_) {
            kind_ = WireProtocol::KindOfRequest(code);
        }
        return;
    }
    if (!kind_) {
        kind_ = WireProtocol::KindOfMessage(code);
    }
    if (code == Wire::kHandleInfo) {
        state_.handle_id = static_cast<std::uint16_t>(frame.bytes[2] | frame.bytes[3] << 8);
    } else if (frame.name == "status_message") {
        state_.status_requested = false;
    }
}
