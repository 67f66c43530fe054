#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

// Which faults a device shows; a count of 0 turns that fault off.
struct FaultSettings {
    std::chrono::milliseconds delay{0};
    bool silent = false;
    unsigned wrong_code_every = 0;
    unsigned truncate_every = 0;
    unsigned garbage_every = 0;
    unsigned disconnect_after = 0;
};

// Spoils a device's outgoing messages as its settings ask, counting every message the device
// produces: replies and unasked messages alike, and those that silence withholds.
class FaultInjector {
public:
    explicit FaultInjector(const FaultSettings& settings) : settings_(settings) {}

    struct Outcome {
        bool send;
        // The device hangs up after this message.
        bool hang_up;
    };

    Outcome Apply(std::vector<std::uint8_t>& message);
    std::chrono::milliseconds ReplyDelay() const { return settings_.delay; }

private:
    bool IsNth(unsigned every) const { return every != 0 && produced_ % every == 0; }

    FaultSettings settings_;
    unsigned long produced_ = 0;
};
