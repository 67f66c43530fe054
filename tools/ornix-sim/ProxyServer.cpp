#include "ProxyServer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kReadChunk = 4096;

}  // namespace

ProxyServer::ProxyServer(const RelaySetup& setup, StopSignal& stop)
    : port_path_(setup.source),
      port_(setup.source),
      start_(Clock::now()),
      recording_(setup.record, setup.source, start_),
      stop_(stop) {
    if (!setup.link.empty()) {
        link_.emplace(setup.link, terminal_.SlavePath());
    }
    frames_.reserve(64);
}

ProxyServer::~ProxyServer() { Finish(); }

bool ProxyServer::Finish() {
    if (!finished_) {
        finished_ = true;
        if (!recording_failed_) {
            decoder_.Finish(frames_);
            Record();
        }
    }
    return !recording_failed_;
}

void ProxyServer::Watch(Readiness& ready) {
    if (ended_) {
        return;
    }
    const int master = terminal_.MasterFd();
    if (to_device_.Size() < PendingOutput::kMostPending) {
        ready.WatchRead(master);
    }
    if (to_host_.Size() < PendingOutput::kMostPending) {
        ready.WatchRead(port_.Fd());
    }
    if (!to_device_.Empty()) {
        ready.WatchWrite(port_.Fd());
    }
    if (!to_host_.Empty()) {
        ready.WatchWrite(master);
    }
    if (const auto timeout = decoder_.NextTimeout()) {
        ready.WakeBy(*timeout);
    }
}

void ProxyServer::Handle(const Readiness& ready) {
    if (ended_) {
        return;
    }
    // What has just come goes out at once, without another wait.
    if (!TakeInput(ready) || !Forward()) {
        ended_ = true;
        return;
    }
    decoder_.CloseStale(Clock::now(), frames_);
    if (!Record()) {
        ended_ = true;
    }
}

bool ProxyServer::TakeInput(const Readiness& ready) {
    std::uint8_t chunk[kReadChunk];
    if (ready.Readable(terminal_.MasterFd())) {
        const auto when = Clock::now();
        const std::optional<std::size_t> count = terminal_.Read(chunk, sizeof chunk);
        if (!count) {
            return false;
        }
        to_device_.Add(chunk, *count, when);
    }
    if (ready.Readable(port_.Fd())) {
        const auto when = Clock::now();
        const std::optional<std::size_t> count = port_.Read(chunk, sizeof chunk);
        if (!count) {
            // The program sees the line go dead, as it would with the device itself.
            std::fprintf(stderr, "ornix-sim: proxy: %s has closed\n", port_path_.c_str());
            terminal_.HangUp();
            return false;
        }
        to_host_.Add(chunk, *count, when);
    }
    return true;
}

bool ProxyServer::Forward() {
    const auto decode = [this](Direction from) {
        return [this, from](const std::uint8_t* data, std::size_t size, Clock::time_point when) {
            decoder_.Take(from, data, size, when, frames_);
        };
    };
    if (!to_device_.WriteTo(port_.Fd(), decode(Direction::FromHost))) {
        std::fprintf(stderr, "ornix-sim: proxy: cannot write to %s: %s\n", port_path_.c_str(),
                     std::strerror(errno));
        terminal_.HangUp();
        return false;
    }
    // The terminal fails only once it is hung up, which no host can repair.
    return to_host_.WriteTo(terminal_.MasterFd(), decode(Direction::FromDevice));
}

bool ProxyServer::Record() {
    for (const WireFrame& frame : frames_) {
        recording_.Add(frame);
    }
    if (!kind_recorded_ && decoder_.Kind() && !frames_.empty()) {
        recording_.AddKind(*decoder_.Kind(), frames_.back().time);
        kind_recorded_ = true;
    }
    frames_.clear();
    if (!recording_.WriteAdded()) {
        std::fprintf(stderr, "ornix-sim: proxy: cannot write recording %s: %s\n",
                     recording_.Path().c_str(), std::strerror(errno));
        recording_failed_ = true;
        // Forwarding stops with the recording: a session that is not recorded is not proxied.
        stop_.Request();
        return false;
    }
    return true;
}
