#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "VirtualDevice.h"

// The virtual hand-held handle: answers wake-up, status and error requests from its sensors,
// takes handle-state frames in silence, and in compact mode also streams compact status
// packets.
class VirtualHandle final : public VirtualDevice {
public:
    // The device id of the handle that ornix-sim serves unless told otherwise.
    static constexpr std::uint16_t kDeviceId = 0x0117;

    // `compact_rate` in packets per second, 0 for none.
    VirtualHandle(std::vector<std::uint8_t> user_data, double compact_rate,
                  std::uint16_t device_id);

    std::size_t Serve(const std::uint8_t* input, std::size_t size, ByteWriter& reply) override;
    std::chrono::nanoseconds UnaskedPeriod() const override { return compact_period_; }
    void WriteUnasked(ByteWriter& message) override;

private:
    double SecondsOn() const;

    std::vector<std::uint8_t> user_data_;
    std::chrono::nanoseconds compact_period_;
    std::chrono::steady_clock::time_point powered_on_;
    std::uint8_t sequence_ = 0;
    std::uint16_t device_id_;
};
