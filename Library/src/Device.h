// The framing every device shares: a frame is one header code byte followed by a payload whose
// length the code fixes. A device writes request frames from its send buffer and waits, bounded
// by its time-out, for response codes and payloads in its receive buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "SerialStream.h"

namespace Ornix::HardwareAPI::Devices {

class Device {
public:
    static constexpr size_t kBufferSize = 1024;
    // The reply time-out every device of the system is built with, in seconds.
    static constexpr float kReplyTimeout = 5.0f;
    using Clock = std::time_t (*)();

    // The stream is borrowed and must outlive the device. A time-out of 0 or less waits forever.
    // Waits are measured in whole seconds of `clock`, so a time-out of 5.0 ends a wait between 5
    // and 6 seconds after it began.
    Device(IO::SerialStream* stream, float timeout, Clock clock = &SystemTime);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    float GetTimeout() const { return timeout; }

    // Writes the first `length` bytes of the send buffer; more than the buffer holds is refused.
    void WriteFrame(size_t length);
    // Writes the header code followed by `count` floats, little-endian; count must be 0 to 255.
    void WriteFloatFrame(uint8_t header_code, const float* values, const int& count);

    int Available() const;
    // The next byte, or 0 on a time-out or a failed read.
    uint8_t ReadHeaderCode();
    // Waits until the whole payload is waiting, then reads it: `length`, or 0 on a time-out or a
    // failed read. Lengths above the buffer size are refused with 0.
    int ReadPayload(size_t length);
    // Puts the stream back in step after an unexpected response: discards what has arrived and
    // what keeps arriving until the port has been quiet for a moment, for at most the time-out.
    void Resynchronise();

    static std::time_t SystemTime();

protected:
    std::time_t Now() const { return clock(); }
    // True once the wait that began at `start` has outlasted the time-out.
    bool TimedOut(std::time_t start) const;

    float timeout;
    IO::SerialStream* stream;
    std::array<uint8_t, kBufferSize> send_buffer{};
    std::array<uint8_t, kBufferSize> receive_buffer{};

private:
    Clock clock;
};

}  // namespace Ornix::HardwareAPI::Devices
