#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultInjector.h"
#include "LinkLatency.h"
#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "StopSignal.h"
#include "SymbolicLink.h"
#include "VirtualDevice.h"

// Serves one virtual device on a pseudo-terminal of its own, on a thread of its own, from
// construction until the stop signal: it reads the host's frames, lets the device answer them,
// sends the device's unasked messages on time and applies the requested faults. A modelled link
// holds each message until the link would hand it on, while requests are read as before.
// Replies the host has no room for yet wait for it, and while many wait no more requests are
// read; unasked messages are dropped, oldest first, once too many of them wait, as a real
// handle's are.
class DeviceServer {
public:
    // `link`, when not empty, names a symbolic link to the port that lives as long as the
    // server; `latency`, when given, the link whose delays the messages take.
    DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                 const std::string& link, const std::optional<LinkModel>& latency,
                 StopSignal& stop);
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;
    // Raises the stop signal, since a server cannot end on its own.
    ~DeviceServer();

    const std::string& PortPath() const { return terminal_.SlavePath(); }

private:
    using Clock = std::chrono::steady_clock;

    // A message on its way through the modelled link, of which the first `sent` bytes have
    // reached the host's side.
    struct InLink {
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
        bool droppable;
    };

    void Serve();
    // Each returns false once the device has hung up or the stop signal is raised.
    bool TakeInput();
    bool Send(bool is_reply);
    // Writes what the host has room for; false once the line has failed.
    bool Flush();
    // Passes on what the link has released by now and flushes it; false once the line has
    // failed.
    bool Forward();
    // When the link next releases bytes; nothing while it holds none, or without a link.
    std::optional<Clock::time_point> LinkRelease() const;
    // Bytes that wait for the link or for the host.
    std::size_t Waiting() const;
    bool WaitOutDelay();
    void HangUp();
    // Waits on the stop signal, forwarding what the link releases meanwhile; false once it is
    // raised or the line has failed.
    bool Pause(std::chrono::milliseconds duration);

    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    std::unique_ptr<VirtualDevice> device_;
    FaultInjector faults_;
    StopSignal& stop_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> message_;
    std::optional<LinkLatency> latency_;
    std::deque<InLink> in_link_;
    PendingOutput output_;
    Clock::time_point last_input_;
    std::thread thread_;
};
