#pragma once

#include <optional>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "Recording.h"
#include "RelaySetup.h"
#include "SerialPort.h"
#include "StopSignal.h"
#include "SymbolicLink.h"
#include "WireDecoder.h"

// Stands between a program and a real port, as a participant of the event loop: serves the
// program a pseudo-terminal, forwards every byte both ways as soon as it arrives and records
// the exchange frame by frame. Bytes the other side has no room for wait for it, and while many
// wait the side that sends them is left unread, so that the backpressure reaches it; bytes are
// recorded once they have been written, so that the recording holds what passed. Recording
// comes after forwarding, so that it adds to the exchange only the time of the loop's turn. A
// recording that cannot be written ends the proxy and raises the stop signal; a side whose line
// fails ends the proxy alone.
class ProxyServer final : public EventLoop::Participant {
public:
    ProxyServer(const RelaySetup& setup, StopSignal& stop);
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;
    // As Finish().
    ~ProxyServer() override;

    const std::string& PortPath() const { return terminal_.SlavePath(); }
    // Once the loop has stopped: writes out the rest of the recording; false when the
    // recording could not be written whole (the reason has been reported).
    bool Finish();

    void Watch(Readiness& ready) override;
    void Handle(const Readiness& ready) override;

private:
    using Clock = std::chrono::steady_clock;

    // Reads what has come from the host and from the device; false once a side's line has
    // failed, with the reason reported.
    bool TakeInput(const Readiness& ready);
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
    bool ended_ = false;
    bool finished_ = false;
    StopSignal& stop_;
};
