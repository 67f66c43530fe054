#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ByteWriter.h"

// The device side of one serial link: turns the host's request frames into replies, and may
// also send messages of its own at a fixed rate.
class VirtualDevice {
public:
    virtual ~VirtualDevice() = default;

    // Serves the frame at the front of `input` (never empty), appending any reply, and returns
    // how many bytes it took: 0 while the frame is incomplete. A byte that starts no known
    // frame is taken alone and ignored, so the device falls back into step after any input.
    virtual std::size_t Serve(const std::uint8_t* input, std::size_t size, ByteWriter& reply) = 0;

    // Zero for a device that only answers.
    virtual std::chrono::nanoseconds UnaskedPeriod() const { return {}; }
    virtual void WriteUnasked(ByteWriter&) {}
};
