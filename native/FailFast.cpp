#include "FailFast.h"

namespace Ornix::Companion {

FailFast::FailFast(HardwareAPI::Devices::Device& device)
    : device(device), before(device.GetCancellation()) {
    device.SetCancellation(this);
}

FailFast::~FailFast() { device.SetCancellation(before); }

bool FailFast::Requested(bool signalled) {
    return device.LastOutcome() == HardwareAPI::Devices::Outcome::PortGone ||
           (before != nullptr && before->Requested(signalled));
}

}  // namespace Ornix::Companion
