#include "SerialPort.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PseudoTerminal.h"

namespace {

// The message a SerialPort of `path` is refused with.
std::string Refusal(const std::string& path) {
    try {
        SerialPort port(path);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "opened";
}

TEST(SerialPort, OpensThePortAsTheLibraryDoes) {
    PseudoTerminal terminal;
    SerialPort port(terminal.SlavePath());
    termios settings{};
    ASSERT_EQ(::tcgetattr(port.Fd(), &settings), 0);
    EXPECT_EQ(::cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw";
    // The proxy's loop must never block on it.
    EXPECT_NE(::fcntl(port.Fd(), F_GETFL) & O_NONBLOCK, 0);

    // What the device sends arrives; nothing waiting reads as nothing.
    std::uint8_t buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), std::optional<std::size_t>(0));
    ASSERT_EQ(::write(terminal.MasterFd(), "\x0b\x01", 2), 2);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(port.Fd(), &readable);
    timeval patience{10, 0};
    ASSERT_EQ(::select(port.Fd() + 1, &readable, nullptr, nullptr, &patience), 1);
    const std::optional<std::size_t> read = port.Read(buffer, sizeof buffer);
    ASSERT_EQ(read, std::optional<std::size_t>(2));
    EXPECT_EQ(std::memcmp(buffer, "\x0b\x01", 2), 0);
}

TEST(SerialPort, RefusesWhatIsNoPortOrIsInUse) {
    PseudoTerminal terminal;
    {
        SerialPort first(terminal.SlavePath());
        // One user at a time, as every port the library opens.
        EXPECT_EQ(Refusal(terminal.SlavePath()),
                  "cannot open " + terminal.SlavePath() + ": " + std::strerror(EBUSY));
    }
    EXPECT_EQ(Refusal(terminal.SlavePath()), "opened") << "the lock goes with the port";

    char file[] = "/tmp/ornix-sim-port-XXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(Refusal(file), std::string("cannot use ") + file + ": " + std::strerror(ENOTTY));
    ::unlink(file);
    EXPECT_EQ(Refusal(file), std::string("cannot open ") + file + ": " + std::strerror(ENOENT));
}

}  // namespace
