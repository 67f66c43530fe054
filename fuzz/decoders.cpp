// Fuzzes the payload decoders on exactly the bytes each one reads: a heap copy of that size, so
// that a read past the payload is an AddressSanitizer report.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Handle.h"
#include "Ostrel3.h"

using Ornix::HardwareAPI::Devices::Handle;
using Ornix::HardwareAPI::Devices::Ostrel3;
using Ornix::HardwareAPI::Devices::QuilletStatus;

namespace {

void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void CheckCompact(const QuilletStatus& status) {
    Require(status.hall_effect_sensor_level <= 31 && status.buttons <= 7);
    if (status.error_flag == QuilletStatus::kMalformedPacket && status.battery_level == 0.0f) {
        return;
    }
    Require(status.battery_level >= 3.0f && status.battery_level <= 4.2751f);
    for (float component : status.quaternion) {
        Require(component >= -1.0f && component < 1.0f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::vector<uint8_t> payload(data + 1, data + size);
    const uint8_t* bytes = payload.data();
    const size_t length = payload.size();
    switch (data[0] % 9) {
        case 0:
            if (length == Handle::kCompactPacketLength) {
                CheckCompact(Handle::DecodeCompactPacket(bytes));
            }
            break;
        case 1:
            if (length == 6) {
                Handle::DecodeHandleInfo(bytes);
            }
            break;
        case 2:
            if (length == 21) {
                Handle::DecodeStatusMessage(bytes);
            }
            break;
        case 3:
            if (length == 3) {
                Handle::DecodeErrorResponse(bytes);
            }
            break;
        case 4:
            if (length == 21) {
                Ostrel3::DecodeDeviceInfo(bytes);
            }
            break;
        case 5:
            if (length == 24) {
                Ostrel3::DecodeDeviceState(bytes);
            }
            break;
        case 6:
            if (length == 12) {
                Ostrel3::DecodeVector3(bytes);
            }
            break;
        case 7:
            if (length == 16) {
                Ostrel3::DecodeVector4(bytes);
            }
            break;
        default:
            if (length == 5) {
                Ostrel3::DecodeConfigPair(bytes);
            }
            break;
    }
    return 0;
}
