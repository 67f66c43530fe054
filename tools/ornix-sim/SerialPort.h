#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "FileDescriptor.h"

// A real serial port opened and configured exactly as the host library opens its ports: raw,
// 115200 baud, 8N1, DTR raised, non-blocking. The library's own port class keeps its
// descriptor to itself, which a select loop needs; it writes to Fd() through a PendingOutput.
class SerialPort {
public:
    explicit SerialPort(const std::string& path);

    int Fd() const { return fd_.Get(); }
    // What has arrived, after select found the port readable: 0 when nothing is waiting after
    // all, nothing once the port has failed or hung up.
    std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t capacity);

private:
    FileDescriptor fd_;
    unsigned empty_reads_ = 0;
};
