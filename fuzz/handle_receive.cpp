// Fuzzes the handle's readers over an arbitrary byte stream: message dispatch with its
// callbacks, the read forms and the compact status scan. The first byte picks the order of
// readers; the rest is what the handle sends.
#include <cstdint>
#include <cstdlib>

#include "Handle.h"
#include "MemoryStream.h"

using namespace Ornix::HardwareAPI::Devices;

namespace {

// Touches everything a callback is handed, so that a pointer past its data is a report.
class CheckingHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleStatusMessage(uint16_t, const float* quaternion, uint8_t, uint8_t,
                                      uint8_t user_data_length, const uint8_t* user_data) override {
        float sum = 0;
        for (int i = 0; i < 4; ++i) {
            sum += quaternion[i];
        }
        for (int i = 0; i < user_data_length; ++i) {
            sum += user_data[i];
        }
        seen += sum != 0 ? 1 : 0;
    }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& status) override {
        for (size_t i = status.user_data_length; i < status.user_data.size(); ++i) {
            if (status.user_data[i] != 0) {
                std::abort();  // the unused user data must be zero
            }
        }
    }

    int seen = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    Ornix::Fuzzing::RacingClock::Restart();
    Ornix::Fuzzing::MemoryStream stream(data + 1, size - 1);
    CheckingHandle handle(&stream, Device::kReplyTimeout, &Ornix::Fuzzing::RacingClock::Read);
    uint8_t order = data[0];
    for (int round = 0; round < 64 && stream.Available() > 0; ++round, order = order * 5 + 1) {
        switch (order % 5) {
            case 0:
            case 1: {
                uint8_t code = 0;
                const int count = handle.Receive(code);
                if (count < -1 || count > 21 + 255) {
                    std::abort();
                }
                break;
            }
            case 2: {
                const QuilletStatus status = handle.GetQuilletStatus();
                if (status.hall_effect_sensor_level > 31 || status.buttons > 7) {
                    std::abort();
                }
                break;
            }
            case 3: {
                uint16_t device_id = 0;
                float quaternion[4];
                uint8_t error_flag, level, length, user_data[255];
                handle.ReadHandleStatusMessage(device_id, quaternion, error_flag, level, length,
                                               user_data);
                break;
            }
            default: {
                uint8_t remaining, model, hardware, firmware, error_code;
                uint16_t device_id;
                handle.ReadHandleInfo(remaining, device_id, model, hardware, firmware);
                handle.ReadHandleErrorResponse(device_id, error_code);
                break;
            }
        }
    }
    return 0;
}
