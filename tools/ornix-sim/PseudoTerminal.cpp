#include "PseudoTerminal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "SystemError.h"

namespace {

// Raw 8N1: hosts that open the port before configuring it must not see echo or line editing.
void MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        throw SystemError("cannot read pseudo-terminal settings");
    }
    settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        throw SystemError("cannot set pseudo-terminal settings");
    }
}

}  // namespace

PseudoTerminal::PseudoTerminal() : master_(::posix_openpt(O_RDWR | O_NOCTTY)) {
    if (!master_.IsOpen()) {
        throw SystemError("cannot open a pseudo-terminal");
    }
    if (::grantpt(master_.Get()) != 0 || ::unlockpt(master_.Get()) != 0) {
        throw SystemError("cannot unlock the pseudo-terminal");
    }
    const char* path = ::ptsname(master_.Get());
    if (path == nullptr) {
        throw SystemError("cannot name the pseudo-terminal");
    }
    slave_path_ = path;
    slave_ = FileDescriptor(::open(path, O_RDWR | O_NOCTTY));
    if (!slave_.IsOpen()) {
        throw SystemError("cannot open " + slave_path_);
    }
    MakeRaw(slave_.Get());
    // The event loop must never block on a host that has stopped reading.
    const int flags = ::fcntl(master_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master_.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw SystemError("cannot make the pseudo-terminal non-blocking");
    }
}

std::optional<std::size_t> PseudoTerminal::Read(std::uint8_t* buffer, std::size_t capacity) {
    const ssize_t count = ::read(master_.Get(), buffer, capacity);
    if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return std::nullopt;
    }
    return count > 0 ? static_cast<std::size_t>(count) : 0;
}

std::size_t PseudoTerminal::Unread() const {
    // The held slave descriptor shares the host's input queue.
    int count = 0;
    return ::ioctl(slave_.Get(), FIONREAD, &count) == 0 && count > 0
               ? static_cast<std::size_t>(count)
               : 0;
}

void PseudoTerminal::HangUp() {
    master_.Close();
    slave_.Close();
}
