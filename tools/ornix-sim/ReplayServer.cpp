#include "ReplayServer.h"

#include <algorithm>
#include <cstdio>

#include "JsonText.h"
#include "WireDecoder.h"
#include "WireProtocol.h"

namespace {

constexpr std::size_t kReadChunk = 4096;

std::string Describe(const std::uint8_t* bytes, std::size_t size) {
    const FrameReading reading = WireProtocol::ReadRequest(bytes, size);
    const std::string hex = HexDigits(bytes, size);
    return reading.status == FrameReading::Status::Complete ? reading.name + " " + hex
                                                            : "bytes " + hex;
}

// How much of `bytes` the program meant as one request.
std::size_t RequestLength(const std::vector<std::uint8_t>& bytes) {
    const FrameReading first = WireProtocol::ReadRequest(bytes.data(), bytes.size());
    if (first.status == FrameReading::Status::Complete) {
        return first.length;
    }
    if (first.status == FrameReading::Status::Invalid) {
        for (std::size_t at = 1; at < bytes.size(); ++at) {
            if (WireProtocol::ReadRequest(bytes.data() + at, bytes.size() - at).status !=
                FrameReading::Status::Invalid) {
                return at;
            }
        }
    }
    return bytes.size();
}

}  // namespace

ReplayServer::ReplayServer(const RelaySetup& setup) : script_(setup.source), strict_(setup.strict) {
    if (!setup.link.empty()) {
        link_.emplace(setup.link, terminal_.SlavePath());
    }
    anchors_.push_back(Clock::now());
}

void ReplayServer::Watch(Readiness& ready) {
    if (ended_) {
        return;
    }
    const int master = terminal_.MasterFd();
    if (output_.Size() < PendingOutput::kMostPending) {
        ready.WatchRead(master);
    } else {
        // Time spent holding the program up does not make its unfinished request stale.
        received_last_ = Clock::now();
    }
    if (!output_.Empty()) {
        ready.WatchWrite(master);
    }
    // The frames due at the start come with the first turn, whose deadline has passed.
    if (const auto deadline = NextDeadline()) {
        ready.WakeBy(*deadline);
    }
}

void ReplayServer::Handle(const Readiness& ready) {
    if (ended_) {
        return;
    }
    try {
        ended_ = !Serve(ready);
    } catch (const RecordingError& error) {
        std::fprintf(stderr, "ornix-sim: replay: %s\n", error.what());
        ended_ = true;
    }
}

bool ReplayServer::Serve(const Readiness& ready) {
    const int master = terminal_.MasterFd();
    const auto now = Clock::now();
    if (ready.Readable(master)) {
        std::uint8_t chunk[kReadChunk];
        const std::optional<std::size_t> count = terminal_.Read(chunk, sizeof chunk);
        if (!count) {
            return false;
        }
        if (*count > 0) {
            if (received_.empty()) {
                received_since_ = now;
            }
            received_last_ = now;
            received_.insert(received_.end(), chunk, chunk + *count);
        }
    }
    Match(now, !received_.empty() && now - received_last_ >= WireDecoder::kTimeout);
    SendDue(Clock::now());
    return output_.WriteTo(master);
}

void ReplayServer::SendDue(Clock::time_point now) {
    while (output_.Size() < PendingOutput::kMostPending) {
        const ReplayScript::DeviceFrame* frame = script_.NextDevice();
        if (frame == nullptr || frame->after >= Anchors()) {
            return;
        }
        const bool overtaken = frame->after + 1 < Anchors();
        if (!overtaken && now < anchors_[frame->after - dropped_anchors_] + frame->delay) {
            return;
        }
        output_.Add(frame->bytes.data(), frame->bytes.size(), now);
        script_.TakeDevice();
        DropPassedAnchors();
    }
}

void ReplayServer::DropPassedAnchors() {
    const ReplayScript::DeviceFrame* next = script_.NextDevice();
    const std::size_t last = Anchors() - 1;
    const std::size_t needed = next == nullptr ? last : std::min(next->after, last);
    while (dropped_anchors_ < needed) {
        anchors_.pop_front();
        ++dropped_anchors_;
    }
}

std::optional<ReplayServer::Clock::time_point> ReplayServer::NextDeadline() const {
    std::optional<Clock::time_point> deadline;
    const ReplayScript::DeviceFrame* frame = script_.NextDevice();
    // While the program has too much to read, room it makes is what the loop waits for.
    if (output_.Size() < PendingOutput::kMostPending && frame != nullptr &&
        frame->after < Anchors()) {
        deadline = anchors_[frame->after - dropped_anchors_] + frame->delay;
    }
    if (!received_.empty()) {
        const auto stale = received_last_ + WireDecoder::kTimeout;
        deadline = deadline ? std::min(*deadline, stale) : stale;
    }
    return deadline;
}

void ReplayServer::Match(Clock::time_point now, bool closed) {
    while (!received_.empty()) {
        const std::vector<std::uint8_t>* expected = script_.NextHost();
        if (expected != nullptr) {
            const auto common =
                static_cast<std::ptrdiff_t>(std::min(received_.size(), expected->size()));
            if (std::equal(received_.begin(), received_.begin() + common, expected->begin())) {
                if (received_.size() < expected->size() && !closed) {
                    return;
                }
                if (received_.size() >= expected->size()) {
                    received_.erase(received_.begin(), received_.begin() + common);
                    ++requests_;
                    Answer(received_since_);
                    received_since_ = now;
                    continue;
                }
            }
        }
        if (!closed && WireProtocol::ReadRequest(received_.data(), received_.size()).status ==
                           FrameReading::Status::Incomplete) {
            return;
        }
        const std::size_t length = RequestLength(received_);
        ++requests_;
        const std::string sent = Describe(received_.data(), length);
        if (expected != nullptr) {
            std::fprintf(
                stderr, "ornix-sim: replay: request %zu, %s, differs from the recording's, %s%s\n",
                requests_, sent.c_str(), Describe(expected->data(), expected->size()).c_str(),
                strict_ ? ": not answered" : "");
            if (!strict_) {
                Answer(received_since_);
            }
        } else {
            std::fprintf(stderr,
                         "ornix-sim: replay: request %zu, %s, comes after the last one recorded\n",
                         requests_, sent.c_str());
        }
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(length));
        received_since_ = now;
    }
}

void ReplayServer::Answer(Clock::time_point when) {
    anchors_.push_back(when);
    script_.TakeHost();
    DropPassedAnchors();
    SendDue(Clock::now());
}
