#include "PortReclaimer.h"

namespace Ornix::HardwareAPI::IO {

std::atomic<PortReclaimer::Reclaim> PortReclaimer::installed{nullptr};

void PortReclaimer::Install(Reclaim reclaim) { installed.store(reclaim); }

bool PortReclaimer::Run() {
    const Reclaim reclaim = installed.load();
    if (reclaim == nullptr) {
        return false;
    }
    reclaim();
    return true;
}

}  // namespace Ornix::HardwareAPI::IO
