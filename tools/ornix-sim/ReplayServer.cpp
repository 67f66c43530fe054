#include "ReplayServer.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

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

ReplayServer::ReplayServer(const RelaySetup& setup, StopSignal& stop)
    : strict_(setup.strict), stop_(stop) {
    double anchor_t = 0;
    for (RecordedFrame& frame : ReadRecording(setup.source)) {
        if (frame.from == Direction::FromHost) {
            host_.push_back({std::move(frame.bytes)});
            anchor_t = frame.t;
            continue;
        }
        const auto delay = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(frame.t - anchor_t, 0.0)));
        device_.push_back({host_.size(), delay, std::move(frame.bytes)});
    }
    if (!setup.link.empty()) {
        link_.emplace(setup.link, terminal_.SlavePath());
    }
    anchors_.reserve(host_.size() + 1);
    anchors_.push_back(Clock::now());
    thread_ = std::thread([this] { Serve(); });
}

ReplayServer::~ReplayServer() {
    stop_.Request();
    thread_.join();
}

void ReplayServer::Serve() {
    std::uint8_t chunk[kReadChunk];
    while (true) {
        SendDue(Clock::now());
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(stop_.Fd(), &readable);
        FD_SET(terminal_.MasterFd(), &readable);
        timeval limit{};
        const auto deadline = NextDeadline();
        if (deadline) {
            const auto left =
                std::max(std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now()),
                         std::chrono::microseconds(0));
            limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
            limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        }
        if (::select(std::max(stop_.Fd(), terminal_.MasterFd()) + 1, &readable, nullptr, nullptr,
                     deadline ? &limit : nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "ornix-sim: replay: select failed: %s\n", std::strerror(errno));
            return;
        }
        if (FD_ISSET(stop_.Fd(), &readable)) {
            return;
        }
        const auto now = Clock::now();
        if (FD_ISSET(terminal_.MasterFd(), &readable)) {
            const std::optional<std::size_t> count = terminal_.Read(chunk, sizeof chunk);
            if (!count) {
                return;
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
    }
}

void ReplayServer::SendDue(Clock::time_point now) {
    while (next_device_ < device_.size()) {
        const DeviceFrame& frame = device_[next_device_];
        if (frame.after >= anchors_.size()) {
            return;
        }
        const bool overtaken = frame.after + 1 < anchors_.size();
        if (!overtaken && now < anchors_[frame.after] + frame.delay) {
            return;
        }
        terminal_.Write(frame.bytes.data(), frame.bytes.size());
        ++next_device_;
    }
}

std::optional<ReplayServer::Clock::time_point> ReplayServer::NextDeadline() const {
    std::optional<Clock::time_point> deadline;
    if (next_device_ < device_.size() && device_[next_device_].after < anchors_.size()) {
        const DeviceFrame& frame = device_[next_device_];
        deadline = anchors_[frame.after] + frame.delay;
    }
    if (!received_.empty()) {
        const auto stale = received_last_ + WireDecoder::kTimeout;
        deadline = deadline ? std::min(*deadline, stale) : stale;
    }
    return deadline;
}

void ReplayServer::Match(Clock::time_point now, bool closed) {
    while (!received_.empty()) {
        const std::size_t matched = anchors_.size() - 1;
        if (matched < host_.size()) {
            const std::vector<std::uint8_t>& expected = host_[matched].bytes;
            const auto common =
                static_cast<std::ptrdiff_t>(std::min(received_.size(), expected.size()));
            if (std::equal(received_.begin(), received_.begin() + common, expected.begin())) {
                if (received_.size() < expected.size() && !closed) {
                    return;
                }
                if (received_.size() >= expected.size()) {
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
        if (matched < host_.size()) {
            const std::vector<std::uint8_t>& expected = host_[matched].bytes;
            std::fprintf(
                stderr, "ornix-sim: replay: request %zu, %s, differs from the recording's, %s%s\n",
                requests_, sent.c_str(), Describe(expected.data(), expected.size()).c_str(),
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
    SendDue(Clock::now());
}
