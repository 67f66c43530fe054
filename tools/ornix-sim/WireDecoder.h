#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DeviceKind.h"
#include "WireProtocol.h"

enum class Direction { FromHost, FromDevice };

// One frame on the link, or a run of bytes that forms none.
struct WireFrame {
    Direction from;
    // When its first byte arrived.
    std::chrono::steady_clock::time_point time;
    std::vector<std::uint8_t> bytes;
    // Empty for bytes that form no frame, which have an error instead.
    std::string name;
    std::string fields;
    std::string error;
};

// Cuts both directions of one link into frames as their bytes arrive, however they are split
// or joined on the way: a frame split across reads is joined, with the time of its first byte,
// and several in one read are split. Bytes that start no frame run until the next frame the
// exchange allows; a frame left incomplete when the other side speaks, or for the time-out,
// is cut short. It also works out which device is on the link.
class WireDecoder {
public:
    using Clock = std::chrono::steady_clock;

    // The reply time-out of the hosts: bytes that stay incomplete this long never complete.
    static constexpr std::chrono::seconds kTimeout{5};

    // Appends to `out` the frames that `data` completes.
    void Take(Direction from, const std::uint8_t* data, std::size_t size, Clock::time_point when,
              std::vector<WireFrame>& out);
    // Closes what has been waiting for the time-out at `now`.
    void CloseStale(Clock::time_point now, std::vector<WireFrame>& out);
    // When CloseStale will next have something to close.
    std::optional<Clock::time_point> NextTimeout() const;
    // Closes everything still waiting.
    void Finish(std::vector<WireFrame>& out);

    std::optional<DeviceKind> Kind() const { return kind_; }

private:
    struct Pending {
        std::vector<std::uint8_t> bytes;
        // Where each read began in `bytes`, and when it arrived.
        std::vector<std::pair<std::size_t, Clock::time_point>> arrivals;
        Clock::time_point last;
    };

    Pending& Side(Direction from) { return from == Direction::FromHost ? host_ : device_; }
    FrameReading Read(Direction from, std::size_t at) const;
    // Whether a frame that starts after bytes that form none can be where the link is back in
    // step: one the exchange allows.
    bool Resumes(Direction from, std::uint8_t code) const;
    void Extract(Direction from, bool closed, std::vector<WireFrame>& out);
    void Emit(Direction from, std::size_t count, const FrameReading& reading,
              std::vector<WireFrame>& out);
    void Learn(const WireFrame& frame);

    Pending host_;
    Pending device_;
    ExchangeState state_;
    // The message codes that answer the host's last request.
    std::vector<std::uint8_t> expected_;
    std::optional<DeviceKind> kind_;
};
