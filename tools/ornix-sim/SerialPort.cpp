#include "SerialPort.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "SystemError.h"

namespace {

constexpr unsigned kHungUpEmptyReads = 100;

}  // namespace

SerialPort::SerialPort(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (!fd_.IsOpen()) {
        throw SystemError("cannot open " + path);
    }
    if (!::isatty(fd_.Get())) {
        errno = ENOTTY;
        throw SystemError("cannot use " + path);
    }
    termios options{};
    std::memset(&options, 0, sizeof options);
    ::cfsetispeed(&options, B115200);
    ::cfsetospeed(&options, B115200);
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;
    options.c_cflag |= CLOCAL | CREAD | CS8;
    options.c_iflag |= IGNBRK | IGNPAR;
    if (::tcsetattr(fd_.Get(), TCSANOW, &options) != 0) {
        throw SystemError("cannot configure " + path);
    }
    // Devices that power their line driver from DTR stay silent without it; a pseudo-terminal
    // has no modem lines, which is no reason to refuse it.
    int dtr = TIOCM_DTR;
    (void)::ioctl(fd_.Get(), TIOCMBIS, &dtr);
}

std::optional<std::size_t> SerialPort::Read(std::uint8_t* buffer, std::size_t capacity) {
    const ssize_t count = ::read(fd_.Get(), buffer, capacity);
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
