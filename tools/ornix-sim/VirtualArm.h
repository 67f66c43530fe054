#pragma once

#include <chrono>
#include <cstdint>

#include "ArmDynamics.h"
#include "Motors.h"
#include "VirtualDevice.h"

// The virtual Ostrel3 haptic arm: answers every request of the arm's message set from one
// simulated arm, which runs in real time between requests, and from its identity and
// configuration values.
class VirtualArm final : public VirtualDevice {
public:
    // The device id of the arm that ornix-sim serves unless told otherwise.
    static constexpr std::uint16_t kDeviceId = 0x0301;

    explicit VirtualArm(std::uint16_t device_id);

    std::size_t Serve(const std::uint8_t* input, std::size_t size, ByteWriter& reply) override;

private:
    std::size_t ServeIdentity(const std::uint8_t* input, std::size_t size, ByteWriter& reply);
    std::size_t ServeConfiguration(const std::uint8_t* input, std::size_t size, ByteWriter& reply);
    std::size_t ServeMotion(const std::uint8_t* input, std::size_t size, ByteWriter& reply);
    // Brings the arm and its motors up to the present.
    void CatchUp();

    ArmDynamics arm_;
    Motors motors_;
    std::chrono::steady_clock::time_point caught_up_;
    std::uint16_t device_id_;
    std::uint8_t config_e1_byte_ = 1;
    float config_e1_float_ = 0.5f;
    std::uint8_t config_e2_ = 1;
    std::uint8_t config_e3_ = 2;
};
