// Fuzzes the arm's exchanges over an arbitrary byte stream: the first byte picks which
// operations run, the rest is what the arm sends back.
#include <cstdint>

#include "MemoryStream.h"
#include "Ostrel3.h"

using namespace Ornix::HardwareAPI;
using namespace Ornix::HardwareAPI::Devices;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    Ornix::Fuzzing::RacingClock::Restart();
    Ornix::Fuzzing::MemoryStream stream(data + 1, size - 1);
    Ostrel3 arm(&stream, Device::kReplyTimeout, &Ornix::Fuzzing::RacingClock::Read);
    const Vector3 command = {1.0f, -2.0f, 0.5f};
    uint8_t order = data[0];
    for (int round = 0; round < 32 && stream.Available() > 0; ++round, order = order * 7 + 3) {
        switch (order % 16) {
            case 0:
                arm.DeviceWakeup();
                break;
            case 1:
                arm.GetDeviceId();
                break;
            case 2:
                arm.GetFirmwareVersion();
                break;
            case 3:
                arm.GetMotorCurrents();
                break;
            case 4:
                arm.GetDeviceOrientation();
                break;
            case 5:
                arm.GetPowerStatus();
                break;
            case 6:
                arm.GetTemperature();
                break;
            case 7:
                arm.JointTorques(command);
                break;
            case 8:
                arm.EndEffectorPosition(command);
                break;
            case 9:
                arm.GetConfigE0();
                break;
            case 10:
                arm.SetConfigE1({3, 2.5f});
                break;
            case 11:
                arm.GetConfigE2();
                break;
            case 12:
                arm.SetConfigE3(9);
                break;
            case 13: {
                uint16_t device_id;
                uint8_t model, hardware, firmware;
                UUID identifier;
                arm.ReceiveDeviceInfo(device_id, model, hardware, firmware, identifier);
                break;
            }
            case 14: {
                Vector3 position, velocity;
                arm.ReceiveState(position, velocity);
                arm.ReceiveJointState();
                break;
            }
            default:
                arm.ReceiveCurrent();
                arm.ReceiveConfigE1();
                break;
        }
    }
    return 0;
}
