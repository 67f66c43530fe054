#include "SerialPort.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "SystemError.h"

namespace {

using Ornix::HardwareAPI::IO::serialib;

// The settings SerialStream opens every port with, in open_port's codes.
constexpr std::uint32_t kBaudRate = 115200;
constexpr std::uint32_t kEightDataBits = 3;
constexpr std::uint32_t kNoParity = 0;
constexpr std::uint32_t kOneStopBit = 0;

constexpr unsigned kHungUpEmptyReads = 100;

}  // namespace

SerialPort::SerialPort(const std::string& path) {
    const std::int8_t opened =
        port_.open_port(path.c_str(), kBaudRate, kEightDataBits, kNoParity, kOneStopBit);
    if (opened == serialib::kCannotOpenDevice) {
        // A file that is no terminal opens, but is no port.
        throw SystemError((errno == ENOTTY ? "cannot use " : "cannot open ") + path);
    }
    if (opened != serialib::kOpened) {
        throw std::runtime_error("cannot configure " + path);
    }
    // Devices that power their line driver from DTR stay silent without it.
    port_.set_dtr(true);
}

std::optional<std::size_t> SerialPort::Read(std::uint8_t* buffer, std::size_t capacity) {
    const ssize_t count = ::read(Fd(), buffer, capacity);
    if (count > 0) {
        empty_reads_ = 0;
        return static_cast<std::size_t>(count);
    }
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return std::nullopt;
    }
    // With VMIN 0 a read returns nothing both when another reader was first and when the line
    // has hung up, which leaves the port readable for good.
    return ++empty_reads_ < kHungUpEmptyReads ? std::optional<std::size_t>(0) : std::nullopt;
}
