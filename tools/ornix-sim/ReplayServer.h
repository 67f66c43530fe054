#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "PseudoTerminal.h"
#include "Recording.h"
#include "StopSignal.h"
#include "SymbolicLink.h"

// Plays a recording back to a program on a pseudo-terminal, on a thread of its own until the
// stop signal. The device's frames go out in their recorded order, each once the host frame
// it followed in the recording has come and the recorded time since that frame has passed;
// when a later host frame comes early, whatever was recorded before it goes out at once. The
// program thus reads the very byte stream it read when the recording was made, whatever its
// own timing. A host frame that differs from the recording's next is reported and answered as
// that one was, or in strict mode ignored.
class ReplayServer {
public:
    ReplayServer(const RelaySetup& setup, StopSignal& stop);
    ReplayServer(const ReplayServer&) = delete;
    ReplayServer& operator=(const ReplayServer&) = delete;
    // Raises the stop signal, since a server cannot end on its own.
    ~ReplayServer();

    const std::string& PortPath() const { return terminal_.SlavePath(); }

private:
    using Clock = std::chrono::steady_clock;

    struct HostFrame {
        std::vector<std::uint8_t> bytes;
    };
    struct DeviceFrame {
        // The number of host frames recorded before it.
        std::size_t after;
        // Since the last of them, or since the start.
        Clock::duration delay;
        std::vector<std::uint8_t> bytes;
    };

    void Serve();
    void SendDue(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;
    // Matches what the program has written against the recording's host frames.
    void Match(Clock::time_point now, bool closed);
    void Answer(Clock::time_point when);

    std::vector<HostFrame> host_;
    std::vector<DeviceFrame> device_;
    bool strict_;
    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    StopSignal& stop_;
    // When the start and each host frame matched so far came.
    std::vector<Clock::time_point> anchors_;
    std::size_t next_device_ = 0;
    std::vector<std::uint8_t> received_;
    Clock::time_point received_since_;
    Clock::time_point received_last_;
    std::size_t requests_ = 0;
    std::thread thread_;
};
