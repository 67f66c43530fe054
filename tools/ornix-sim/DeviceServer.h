#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "FaultInjector.h"
#include "LinkLatency.h"
#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "SymbolicLink.h"
#include "VirtualDevice.h"

// Serves one virtual device on a pseudo-terminal of its own, as a participant of the event
// loop: it reads the host's frames, lets the device answer them, sends the device's unasked
// messages on time and applies the requested faults. A reply delayed by --delay is held while
// the device reads and sends nothing else, as a device busy with it would. A modelled link holds
// each message until the link would hand it on, while requests are read as before. Replies the
// host has no room for yet wait for it, and while many wait no more requests are read; unasked
// messages are dropped, oldest first, once too many of them wait, as a real handle's are. A
// device that hangs up, or whose line fails, is served no more.
class DeviceServer final : public EventLoop::Participant {
public:
    // `link`, when not empty, names a symbolic link to the port that lives as long as the
    // server; `latency`, when given, the link whose delays the messages take.
    DeviceServer(std::unique_ptr<VirtualDevice> device, const FaultSettings& faults,
                 const std::string& link, const std::optional<LinkModel>& latency);

    const std::string& PortPath() const { return terminal_.SlavePath(); }

    void Watch(Readiness& ready) override;
    void Handle(const Readiness& ready) override;

private:
    using Clock = std::chrono::steady_clock;

    enum class State {
        Serving,
        // A reply waits out the reply delay.
        Holding,
        // The device hangs up once the host has read what was sent.
        HangingUp,
        Ended,
    };

    // A message on its way through the modelled link, of which the first `sent` bytes have
    // reached the host's side.
    struct InLink {
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
        bool droppable;
    };

    // Each returns false once serving cannot go on: a reply is held, the device hangs up or the
    // line has failed (state_ tells which).
    bool TakeInput();
    bool ServePending();
    bool Send(bool is_reply);
    bool Deliver(const std::vector<std::uint8_t>& message, bool is_reply, bool send, bool hang_up);
    void SendUnasked();
    // Writes what the host has room for; false once the line has failed.
    bool Flush();
    // Passes on what the link has released by now and flushes it; false once the line has
    // failed.
    bool Forward();
    // When the link next releases bytes; nothing while it holds none, or without a link.
    std::optional<Clock::time_point> LinkRelease() const;
    // Bytes that wait for the link or for the host.
    std::size_t Waiting() const;
    void BeginHangUp();
    // Hangs up once the host has read everything or the longest wait has passed; until then
    // flushes, and looks again after a poll interval.
    void LookBeforeHangingUp();
    void HangUpNow();

    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    std::unique_ptr<VirtualDevice> device_;
    FaultInjector faults_;
    State state_ = State::Serving;
    std::vector<std::uint8_t> pending_;
    std::vector<std::uint8_t> message_;
    std::optional<LinkLatency> latency_;
    std::deque<InLink> in_link_;
    PendingOutput output_;
    Clock::time_point last_input_;
    std::chrono::nanoseconds unasked_period_;
    Clock::time_point next_unasked_;
    // Holding: the reply, whether the device hangs up after it, and when it goes.
    std::vector<std::uint8_t> held_;
    bool hang_up_after_held_ = false;
    Clock::time_point held_until_;
    // HangingUp: when the host's queue first counts, the latest hang-up and the next look.
    Clock::time_point hang_up_settled_;
    Clock::time_point hang_up_latest_;
    Clock::time_point hang_up_look_;
};
