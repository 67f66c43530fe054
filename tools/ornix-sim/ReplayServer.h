#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "PendingOutput.h"
#include "PseudoTerminal.h"
#include "RelaySetup.h"
#include "ReplayScript.h"
#include "SymbolicLink.h"

// Plays a recording back to a program on a pseudo-terminal, as a participant of the event
// loop. The device's frames go out in their recorded order, each once the host frame it
// followed in the recording has come and the recorded time since that frame has passed; when a
// later host frame comes early, whatever was recorded before it goes out at once. The program
// thus reads the very byte stream it read when the recording was made, whatever its own timing.
// A host frame that differs from the recording's next is reported and answered as that one
// was, or in strict mode ignored. Frames the program has no room for yet wait for it, and while
// many wait its requests are left unread. A recording that can no longer be read as it plays
// (changed since it was checked) is reported and ends the replay.
class ReplayServer final : public EventLoop::Participant {
public:
    explicit ReplayServer(const RelaySetup& setup);

    const std::string& PortPath() const { return terminal_.SlavePath(); }

    void Watch(Readiness& ready) override;
    void Handle(const Readiness& ready) override;

private:
    using Clock = std::chrono::steady_clock;

    // Takes what the program wrote, answers it and sends what is due; false once the
    // program's line has failed.
    bool Serve(const Readiness& ready);
    void SendDue(Clock::time_point now);
    std::optional<Clock::time_point> NextDeadline() const;
    // Matches what the program has written against the recording's host frames.
    void Match(Clock::time_point now, bool closed);
    void Answer(Clock::time_point when);
    // Keeps the anchors from the one the next device frame counts from, and the last.
    void DropPassedAnchors();
    // The host frames matched so far, the start counted as the first.
    std::size_t Anchors() const { return dropped_anchors_ + anchors_.size(); }

    ReplayScript script_;
    bool strict_;
    PseudoTerminal terminal_;
    std::optional<SymbolicLink> link_;
    PendingOutput output_;
    // When the start and each host frame matched so far came; the first `dropped_anchors_` are
    // no longer needed.
    std::deque<Clock::time_point> anchors_;
    std::size_t dropped_anchors_ = 0;
    std::vector<std::uint8_t> received_;
    Clock::time_point received_since_;
    Clock::time_point received_last_;
    std::size_t requests_ = 0;
    bool ended_ = false;
};
