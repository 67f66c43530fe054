#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "PseudoTerminal.h"
#include "Recording.h"
#include "SerialPort.h"
#include "StopSignal.h"
#include "SymbolicLink.h"
#include "WireDecoder.h"

// Stands between a program and a real port, on a thread of its own until the stop signal:
// serves the program a pseudo-terminal, forwards every byte both ways as soon as it arrives
// and records the exchange frame by frame. Recording comes after forwarding, so that it adds
// to the exchange only the time of the loop itself.
class ProxyServer {
public:
    ProxyServer(const RelaySetup& setup, StopSignal& stop);
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;
    // Raises the stop signal, then writes out the rest of the recording.
    ~ProxyServer();

    const std::string& PortPath() const { return terminal_.SlavePath(); }

private:
    using Clock = std::chrono::steady_clock;

    void Serve();
    void Record();

    std::string port_path_;
    SerialPort port_;
    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    Clock::time_point start_;
    RecordingWriter recording_;
    WireDecoder decoder_;
    std::vector<WireFrame> frames_;
    bool kind_recorded_ = false;
    StopSignal& stop_;
    std::thread thread_;
};
