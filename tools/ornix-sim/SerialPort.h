#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "serialib.h"

// A real serial port, opened by the host library itself: its serialib, with the settings every
// port of a program gets (raw, 115200 baud, 8N1, DTR raised, non-blocking, for exclusive use),
// so that the device meets the proxy exactly as it meets a program. The proxy's select loop
// watches Fd() beside its other descriptors and writes to it through a PendingOutput.
class SerialPort {
public:
    explicit SerialPort(const std::string& path);

    int Fd() const { return port_.descriptor(); }
    // What has arrived, after select found the port readable: 0 when nothing is waiting after
    // all, nothing once the port has failed or hung up.
    std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t capacity);

private:
    Ornix::HardwareAPI::IO::serialib port_;
    unsigned empty_reads_ = 0;
};
