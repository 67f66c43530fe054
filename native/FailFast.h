// Ends a device's waits once its exchange has found the port gone (its request could not be
// written: the device was unplugged, its line hung up), instead of waiting out the time-out for
// a reply that cannot come; otherwise asks what the device asked before (Ctrl-C on the main
// thread). Installed on a device for as long as the object lives.
#pragma once

#include "Device.h"

namespace Ornix::Companion {

class FailFast final : public HardwareAPI::Devices::Cancellation {
public:
    explicit FailFast(HardwareAPI::Devices::Device& device);
    ~FailFast();
    FailFast(const FailFast&) = delete;
    FailFast& operator=(const FailFast&) = delete;

    bool Requested(bool signalled) override;

private:
    HardwareAPI::Devices::Device& device;
    HardwareAPI::Devices::Cancellation* before;
};

}  // namespace Ornix::Companion
