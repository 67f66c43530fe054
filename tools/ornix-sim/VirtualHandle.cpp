#include "VirtualHandle.h"

#include <cmath>
#include <utility>

#include "ByteReader.h"
#include "CompactPacket.h"
#include "HandleSensors.h"
#include "WireCodes.h"

namespace {

using namespace Wire;

constexpr std::uint8_t kToolDataRemaining = 0;
constexpr std::uint8_t kModelNumber = 2;
constexpr std::uint8_t kHardwareVersion = 1;
constexpr std::uint8_t kFirmwareVersionNumber = 3;
constexpr std::uint8_t kNoError = 0;

}  // namespace

VirtualHandle::VirtualHandle(std::vector<std::uint8_t> user_data, double compact_rate,
                             std::uint16_t device_id)
    : user_data_(std::move(user_data)),
      compact_period_(compact_rate > 0 ? std::chrono::nanoseconds(std::llround(1e9 / compact_rate))
                                       : std::chrono::nanoseconds(0)),
      powered_on_(std::chrono::steady_clock::now()),
      device_id_(device_id) {}

std::size_t VirtualHandle::Serve(const std::uint8_t* input, std::size_t size, ByteWriter& reply) {
    switch (input[0]) {
        case kWakeup:
            reply.Byte(kHandleInfo);
            reply.Byte(kToolDataRemaining);
            reply.U16(device_id_);
            reply.Byte(kModelNumber);
            reply.Byte(kHardwareVersion);
            reply.Byte(kFirmwareVersionNumber);
            return 1;
        case kStatus: {
            const HandleReading reading = HandleSensors::At(SecondsOn());
            reply.Byte(kStatus);
            reply.U16(device_id_);
            reply.Byte(kNoError);
            reply.Byte(reading.hall_level);
            for (std::int16_t component : reading.quaternion) {
                reply.Float(static_cast<float>(component / kQuaternionScale));
            }
            reply.Byte(static_cast<std::uint8_t>(user_data_.size()));
            reply.Bytes(user_data_.data(), user_data_.size());
            return 1;
        }
        case kHandleState: {
            if (size < kHandleStateHeaderSize) {
                return 0;
            }
            const std::size_t frame_size = kHandleStateHeaderSize + input[3];
            return size < frame_size ? 0 : frame_size;
        }
        case kError:
            if (size < kErrorRequestSize) {
                return 0;
            }
            // The answer names the device the host asked about.
            reply.Byte(kError);
            reply.U16(ByteReader::U16(input + 1));
            reply.Byte(kNoError);
            return kErrorRequestSize;
        default:
            return 1;
    }
}

void VirtualHandle::WriteUnasked(ByteWriter& message) {
    message.Byte(kStatus);
    CompactPacket::Append(HandleSensors::At(SecondsOn()), static_cast<std::uint8_t>(device_id_),
                          sequence_++, message);
}

double VirtualHandle::SecondsOn() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - powered_on_).count();
}
