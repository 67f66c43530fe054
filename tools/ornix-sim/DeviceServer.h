#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FaultInjector.h"
#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "StopSignal.h"
#include "SymbolicLink.h"
#include "VirtualDevice.h"

// Serves one virtual device on a pseudo-terminal of its own, on a thread of its own, from
// construction until the stop signal: it reads the host's frames, lets the device answer them,
// sends the device's unasked messages on time and applies the requested faults. Replies the
// host has no room for yet wait for it, and while many wait no more requests are read; unasked
// messages are dropped, oldest first, once too many of them wait, as a real handle's are.
class DeviceServer {
public:
    // `link`, when not empty, names a symbolic link to the port that lives as long as the
    // server.
    DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                 const std::string& link, StopSignal& stop);
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;
    // Raises the stop signal, since a server cannot end on its own.
    ~DeviceServer();

    const std::string& PortPath() const { return terminal_.SlavePath(); }

private:
    using Clock = std::chrono::steady_clock;

    void Serve();
    // Each returns false once the device has hung up or the stop signal is raised.
    bool TakeInput();
    bool Send(bool is_reply);
    // Writes what the host has room for; false once the line has failed.
    bool Flush();
    bool WaitOutDelay();
    void HangUp();
    // Waits on the stop signal; false once it is raised.
    bool Pause(std::chrono::milliseconds duration);

    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    std::unique_ptr<VirtualDevice> device_;
    FaultInjector faults_;
    StopSignal& stop_;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> message_;
    PendingOutput output_;
    Clock::time_point last_input_;
    std::thread thread_;
};
