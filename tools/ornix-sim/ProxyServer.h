#pragma once

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "Recording.h"
#include "RelaySetup.h"
#include "SerialPort.h"
#include "StopSignal.h"
#include "SymbolicLink.h"
#include "WireDecoder.h"

// Stands between a program and a real port, on a thread of its own until the stop signal:
// serves the program a pseudo-terminal, forwards every byte both ways as soon as it arrives
// and records the exchange frame by frame. Bytes the other side has no room for wait for it,
// and while many wait the side that sends them is left unread, so that the backpressure reaches
// it; bytes are recorded once they have been written, so that the recording holds what passed.
// Recording comes after forwarding, so that it adds to the exchange only the time of the loop
// itself. A recording that cannot be written ends the proxy.
class ProxyServer {
public:
    ProxyServer(const RelaySetup& setup, StopSignal& stop);
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;
    // As Finish().
    ~ProxyServer();

    const std::string& PortPath() const { return terminal_.SlavePath(); }
    // Raises the stop signal, waits for the proxy's thread and writes out the rest of the
    // recording; false when the recording could not be written whole (the reason has been
    // reported).
    bool Finish();

private:
    using Clock = std::chrono::steady_clock;

    void Serve();
    // Writes what each side has room for, decoding what went out; false once a side's line
    // has failed, with the reason reported.
    bool Forward();
    // Writes the frames decoded so far to the recording; false once that has failed, which
    // stops the proxy.
    bool Record();

    std::string port_path_;
    SerialPort port_;
    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    Clock::time_point start_;
    RecordingWriter recording_;
    WireDecoder decoder_;
    std::vector<WireFrame> frames_;
    PendingOutput to_device_;
    PendingOutput to_host_;
    bool kind_recorded_ = false;
    bool recording_failed_ = false;
    StopSignal& stop_;
    std::thread thread_;
};
