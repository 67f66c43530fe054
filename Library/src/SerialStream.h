// A serial port as a standard iostream: owns the port object, which is its stream buffer, opens
// it at the one setting the devices use, and adds the three operations the device layer needs.
// Failures are reported on standard error and in results; nothing is thrown.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "serialib.h"

namespace Ornix::HardwareAPI::IO {

class SerialStream : public std::iostream {
public:
    // How a wait for input ended.
    enum class InputWait { Waiting, NotYet, Interrupted, Gone };

    // port_name may be null, which fails to open like a path that does not exist. With
    // open_at_once the port is opened here; a failure leaves a closed stream and is reported.
    SerialStream(const char* port_name, bool open_at_once);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // 1 when the port is open at 115200 baud 8N1 with DTR raised; otherwise a negative code of
    // serialib::open_port, or -1 when the port object could not be made.
    int8_t Open();

    virtual void Close();
    // Whether the port is open: the last Open succeeded and nothing closed it since.
    bool IsOpen() const { return port && port->is_open(); }
    // Bytes received and waiting in the driver; 0 without an open port.
    virtual int Available() const;
    // The whole block, in one system call when the port takes it at once; a port that cannot
    // take it all gets a second to do so. A failure is reported, and the stream state keeps it.
    virtual void Write(const void* data, size_t length);
    // Waits in the kernel, at most `limit`, until `count` bytes are waiting (Waiting), the time
    // has passed (NotYet), a signal arrived (Interrupted) or the line has hung up for good
    // (Gone). Without an open port the time passes.
    virtual InputWait WaitForInput(size_t count, std::chrono::microseconds limit);
    // Lets the time pass without using the processor: NotYet, or Interrupted by a signal.
    static InputWait Pause(std::chrono::microseconds limit);

    // A stream that one thread drives for the program (a servo loop) is claimed by it, so that
    // calls from elsewhere are refused rather than interleave their frames with its exchanges.
    // The claim is only recorded here; those who would call refuse themselves. Claim is true
    // when the stream was free or already the owner's.
    bool Claim(const void* owner);
    void Release(const void* owner);
    bool Claimed() const { return owner.load() != nullptr; }

private:
    const char* shown_name() const;

    std::optional<std::string> port_name;
    std::unique_ptr<serialib> port;
    std::atomic<const void*> owner{nullptr};
};

}  // namespace Ornix::HardwareAPI::IO
