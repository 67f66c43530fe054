#include "ProxyServer.h"

#include <sys/select.h>

#include <algorithm>
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
    thread_ = std::thread([this] { Serve(); });
}

ProxyServer::~ProxyServer() {
    stop_.Request();
    thread_.join();
    decoder_.Finish(frames_);
    Record();
    recording_.Flush();
}

void ProxyServer::Serve() {
    std::uint8_t chunk[kReadChunk];
    while (true) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(stop_.Fd(), &readable);
        FD_SET(terminal_.MasterFd(), &readable);
        FD_SET(port_.Fd(), &readable);
        const int highest = std::max({stop_.Fd(), terminal_.MasterFd(), port_.Fd()});
        timeval limit{};
        const auto timeout = decoder_.NextTimeout();
        if (timeout) {
            const auto left =
                std::max(std::chrono::ceil<std::chrono::microseconds>(*timeout - Clock::now()),
                         std::chrono::microseconds(0));
            limit.tv_sec = static_cast<time_t>(left.count() / 1000000);
            limit.tv_usec = static_cast<suseconds_t>(left.count() % 1000000);
        }
        if (::select(highest + 1, &readable, nullptr, nullptr, timeout ? &limit : nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "ornix-sim: proxy: select failed: %s\n", std::strerror(errno));
            return;
        }
        if (FD_ISSET(stop_.Fd(), &readable)) {
            return;
        }
        if (FD_ISSET(terminal_.MasterFd(), &readable)) {
            const auto when = Clock::now();
            const std::optional<std::size_t> count = terminal_.Read(chunk, sizeof chunk);
            if (!count) {
                return;
            }
            if (*count > 0 && !port_.Write(chunk, *count)) {
                std::fprintf(stderr, "ornix-sim: proxy: cannot write to %s: %s\n",
                             port_path_.c_str(), std::strerror(errno));
            }
            decoder_.Take(Direction::FromHost, chunk, *count, when, frames_);
        }
        if (FD_ISSET(port_.Fd(), &readable)) {
            const auto when = Clock::now();
            const std::optional<std::size_t> count = port_.Read(chunk, sizeof chunk);
            if (count) {
                terminal_.Write(chunk, *count);
                decoder_.Take(Direction::FromDevice, chunk, *count, when, frames_);
            } else {
                // The program sees the line go dead, as it would with the device itself.
                std::fprintf(stderr, "ornix-sim: proxy: %s has closed\n", port_path_.c_str());
                terminal_.HangUp();
                return;
            }
        }
        decoder_.CloseStale(Clock::now(), frames_);
        Record();
    }
}

void ProxyServer::Record() {
    for (const WireFrame& frame : frames_) {
        recording_.Write(frame);
    }
    if (!kind_recorded_ && decoder_.Kind() && !frames_.empty()) {
        recording_.WriteKind(*decoder_.Kind(), frames_.back().time);
        kind_recorded_ = true;
    }
    frames_.clear();
}
