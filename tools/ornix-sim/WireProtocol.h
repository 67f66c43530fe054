#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DeviceKind.h"

// What the bytes at the front of a buffer make: a whole frame, the beginning of one, or no
// frame at all.
struct FrameReading {
    enum class Status { Complete, Incomplete, Invalid };

    Status status = Status::Invalid;
    // Complete: the frame's bytes.
    std::size_t length = 0;
    std::string name;
    // Complete: the decoded fields, as the text of a JSON object.
    std::string fields;
    // Invalid: why.
    std::string error;
};

// What the exchange so far tells about the next message: the handle opens its status message
// and its compact packet with the same code.
struct ExchangeState {
    bool status_requested = false;
    std::optional<std::uint16_t> handle_id;
};

// The wire protocol of the arm and the handle as a reader of both directions sees it: every
// request a host sends and every message a device sends, with their names and decoded fields.
// The two devices share only the wake-up request; all other codes belong to one of them.
class WireProtocol {
public:
    static FrameReading ReadRequest(const std::uint8_t* bytes, std::size_t size);
    static FrameReading ReadMessage(const std::uint8_t* bytes, std::size_t size,
                                    const ExchangeState& state);

    // The message codes that answer a request code; none for a request without an answer.
    static std::vector<std::uint8_t> ReplyCodes(std::uint8_t request_code);
    // The device a code belongs to; nothing for the shared wake-up and for unknown codes.
    static std::optional<DeviceKind> KindOfRequest(std::uint8_t code);
    static std::optional<DeviceKind> KindOfMessage(std::uint8_t code);
};
