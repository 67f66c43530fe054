#include "serialib.h"

#include "PortReclaimer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace Ornix::HardwareAPI::IO {

namespace {

struct BaudRate {
    uint32_t rate;
    speed_t constant;
};

// Where the speed constants are the rates themselves the table is the identity; elsewhere each
// rate needs its own constant.
constexpr BaudRate kBaudRates[] = {
    {110, B110},     {300, B300},     {600, B600},       {1200, B1200},
    {2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200},
};

constexpr tcflag_t kCharacterSizes[] = {CS5, CS6, CS7, CS8};

// A character on the line is a start bit, the data bits, parity and stop bits: about ten bits.
constexpr uint32_t kBitsPerCharacter = 10;
// The shortest pause while the rest of a block is on its way, and the pause between looks at a
// descriptor that select cannot watch (one numbered FD_SETSIZE or above).
constexpr uint32_t kShortestPauseUs = 50;
constexpr uint32_t kUnwatchablePauseUs = 1000;
// A block that has begun to go out may take this many budgets in all to end: half a frame on the
// line would put the device out of step, so it is given up only when the device is gone for good.
constexpr uint64_t kBegunBlockBudgets = 5;

timeval Interval(uint32_t microseconds) {
    timeval interval{};
    interval.tv_sec = static_cast<time_t>(microseconds / 1000000);
    interval.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
    return interval;
}

}  // namespace

serialib::serialib(port_timer::clock_function clock) : clock(clock) {}

serialib::~serialib() { close_port(); }

int8_t serialib::open_port(const char* device, uint32_t baud, uint32_t data_bits, uint32_t parity,
                           uint32_t stop_bits) {
    close_port();
    fd = open_for_use(device);
    if (fd == -1) {
        return kCannotOpenDevice;
    }
    (void)fcntl(fd, F_SETFL, O_NONBLOCK);

    termios options{};
    (void)tcgetattr(fd, &options);
    // Start from nothing: no canonical input, echo, signals, processing or flow control.
    std::memset(&options, 0, sizeof options);

    const BaudRate* speed = nullptr;
    for (const BaudRate& candidate : kBaudRates) {
        if (candidate.rate == baud) {
            speed = &candidate;
        }
    }
    if (speed == nullptr) {
        return kUnsupportedBaudRate;
    }
    if (data_bits >= sizeof kCharacterSizes / sizeof kCharacterSizes[0]) {
        return kUnsupportedDataBits;
    }
    tcflag_t stop_flags = 0;
    if (stop_bits == 2) {
        stop_flags = CSTOPB;
    } else if (stop_bits != 0) {
        return kUnsupportedStopBits;
    }
    tcflag_t parity_flags = 0;
    if (parity == 1) {
        parity_flags = PARENB;
    } else if (parity == 2) {
        parity_flags = PARENB | PARODD;
    } else if (parity != 0) {
        return kUnsupportedParity;
    }

    character_us = std::max<uint32_t>(kBitsPerCharacter * 1000000 / baud, 1);
    (void)cfsetispeed(&options, speed->constant);
    (void)cfsetospeed(&options, speed->constant);
    // Reads return at once with whatever has arrived.
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;
    options.c_cflag |= CLOCAL | CREAD | kCharacterSizes[data_bits] | stop_flags | parity_flags;
    options.c_iflag |= IGNBRK | IGNPAR;
    (void)tcsetattr(fd, TCSANOW, &options);
    return kOpened;
}

bool serialib::Lock(int opened) {
    // One user at a time: frames from two programs would interleave on the line, and each would
    // read the other's answers. The lock is the one pyserial's exclusive ports take, so the two
    // see each other; the kernel drops it with the descriptor, however the holder ends.
    const auto locked = [opened] {
        return flock(opened, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
    };
    if (locked()) {
        return true;
    }
    // The holder may be a stream this process has dropped but not yet freed.
    for (int attempt = 0; attempt < kReclaimAttempts && PortReclaimer::Run(); ++attempt) {
        if (locked()) {
            return true;
        }
    }
    return false;
}

int serialib::open_for_use(const char* device) {
    if (device == nullptr) {
        errno = ENOENT;
        return -1;
    }
    const int opened = ::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (opened == -1) {
        return -1;
    }
    int refusal = 0;
    // A regular file or a pipe would take the frames as data; only a terminal is a port.
    if (!isatty(opened)) {
        refusal = ENOTTY;
    } else if (!Lock(opened)) {
        refusal = EBUSY;
    }
    if (refusal != 0) {
        ::close(opened);
        errno = refusal;
        return -1;
    }
    return opened;
}

int serialib::check_port(const char* device) {
    const int opened = open_for_use(device);
    if (opened == -1) {
        return errno;
    }
    ::close(opened);
    return 0;
}

void serialib::close_port() {
    if (fd >= 0) {
        ::close(fd);
    }
    fd = -1;
}

int serialib::send_byte(char c) { return ::write(fd, &c, 1) == 1 ? 1 : kWriteFailed; }

int serialib::send_text(const char* text) {
    const size_t length = std::strlen(text);
    return ::write(fd, text, length) == static_cast<ssize_t>(length) ? 1 : kWriteFailed;
}

int serialib::send_bytes(const void* data, uint32_t n) {
    if (n > INT_MAX) {
        return kWriteFailed;
    }
    return ::write(fd, data, n) == static_cast<ssize_t>(n) ? static_cast<int>(n) : kWriteFailed;
}

int serialib::send_all(const void* data, uint32_t n, uint32_t timeout_ms) {
    if (n > INT_MAX) {
        return kWriteFailed;
    }
    const char* const bytes = static_cast<const char*>(data);
    port_timer timer(clock);
    timer.start();
    uint64_t budget_ms = timeout_ms;
    uint32_t written = 0;
    while (written < n) {
        const ssize_t r = ::write(fd, bytes + written, n - written);
        if (r > 0) {
            written += static_cast<uint32_t>(r);
            budget_ms = static_cast<uint64_t>(timeout_ms) * kBegunBlockBudgets;
            continue;
        }
        if (r == -1 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return kWriteFailed;
        }
        const uint64_t spent = timer.spent_ms();
        if (spent >= budget_ms) {
            errno = EAGAIN;
            return kWriteFailed;
        }
        const uint64_t rest_us = std::min<uint64_t>((budget_ms - spent) * 1000, UINT32_MAX);
        (void)wait_until(true, static_cast<uint32_t>(rest_us));
    }
    return static_cast<int>(n);
}

int serialib::receive_byte(char* out, uint32_t timeout_ms) {
    port_timer timer(clock);
    timer.start();
    for (;;) {
        if (timeout_ms != 0 && timer.spent(timeout_ms)) {
            return 0;
        }
        const ssize_t r = ::read(fd, out, 1);
        if (r == -1) {
            return kReadError;
        }
        if (r == 1) {
            return 1;
        }
    }
}

int serialib::receive_until(char* buffer, char terminator, uint32_t max_bytes,
                            uint32_t timeout_ms) {
    if (timeout_ms == 0) {
        for (uint32_t n = 0; n < max_bytes; ++n) {
            const int r = receive_byte(buffer + n, 0);
            if (r == kReadError) {
                return kReadError;
            }
            if (buffer[n] == terminator) {
                buffer[n + 1] = 0;
                return static_cast<int>(n + 1);
            }
        }
        return kTerminatorMissing;
    }

    port_timer timer(clock);
    timer.start();
    uint32_t n = 0;
    for (;;) {
        if (n >= max_bytes) {
            return kTerminatorMissing;
        }
        const uint64_t elapsed = timer.spent_ms();
        if (elapsed < timeout_ms) {
            const int r = receive_byte(buffer + n, static_cast<uint32_t>(timeout_ms - elapsed));
            if (r == kReadError) {
                return kReadError;
            }
            if (r == 1) {
                ++n;
                if (buffer[n - 1] == terminator) {
                    buffer[n] = 0;
                    return static_cast<int>(n);
                }
            }
        }
        if (timer.spent_ms() > timeout_ms) {
            buffer[n] = 0;
            return 0;
        }
    }
}

int serialib::receive_bytes(void* buffer, uint32_t max_bytes, uint32_t timeout_ms,
                            uint32_t sleep_us) {
    // The count must fit the result.
    if (max_bytes > INT_MAX) {
        max_bytes = INT_MAX;
    }
    char* const bytes = static_cast<char*>(buffer);
    port_timer timer(clock);
    timer.start();
    uint32_t count = 0;
    for (;;) {
        if (timeout_ms != 0 && timer.spent(timeout_ms)) {
            return static_cast<int>(count);
        }
        const ssize_t r = ::read(fd, bytes + count, max_bytes - count);
        if (r == -1) {
            return kReadError;
        }
        count += static_cast<uint32_t>(r);
        if (count >= max_bytes) {
            return static_cast<int>(count);
        }
        if (sleep_us != 0) {
            // nanosleep rather than usleep, which POSIX no longer has.
            const timespec pause{static_cast<time_t>(sleep_us / 1000000),
                                 static_cast<long>(sleep_us % 1000000) * 1000};
            (void)nanosleep(&pause, nullptr);
        }
    }
}

int serialib::discard_input() {
    (void)tcflush(fd, TCIFLUSH);
    return 1;
}

int serialib::pending_bytes() const {
    int waiting = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &waiting) == -1) {
        return 0;
    }
    return waiting;
}

int serialib::wait_for_input(uint32_t count, uint32_t timeout_us) {
    const auto waiting = [this] { return static_cast<uint32_t>(std::max(pending_bytes(), 0)); };
    const uint32_t before = waiting();
    if (before >= count) {
        return kInputWaiting;
    }
    int result = kInputNotYet;
    if (fd < 0) {
        result = idle(timeout_us);
    } else if (before > 0) {
        // The descriptor stays readable until the bytes are read: wait for the rest by the clock.
        const uint64_t rest_us = static_cast<uint64_t>(count - before) * character_us;
        result = idle(static_cast<uint32_t>(
            std::min<uint64_t>(timeout_us, std::max<uint64_t>(rest_us, kShortestPauseUs))));
    } else if ((result = wait_until(false, timeout_us)) == 1 && waiting() == 0) {
        // Readable with nothing to read: the line has hung up or failed and stays readable. One
        // whose byte count cannot be had any more is gone for good (unplugged); otherwise the
        // time passes.
        int count_now = 0;
        if (ioctl(fd, FIONREAD, &count_now) == -1 &&
            (errno == EIO || errno == ENXIO || errno == ENODEV)) {
            return kLineGone;
        }
        result = idle(timeout_us);
    }
    if (result == kWaitInterrupted) {
        return kWaitInterrupted;
    }
    return waiting() >= count ? kInputWaiting : kInputNotYet;
}

int serialib::idle(uint32_t timeout_us) {
    timeval interval = Interval(timeout_us);
    if (select(0, nullptr, nullptr, nullptr, &interval) == -1 && errno == EINTR) {
        return kWaitInterrupted;
    }
    return kInputNotYet;
}

int serialib::wait_until(bool writable, uint32_t timeout_us) const {
    if (fd < 0 || fd >= FD_SETSIZE) {
        return idle(std::min(timeout_us, kUnwatchablePauseUs));
    }
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(fd, &watched);
    timeval interval = Interval(timeout_us);
    const int r = select(fd + 1, writable ? nullptr : &watched, writable ? &watched : nullptr,
                         nullptr, &interval);
    if (r == -1) {
        // EINTR is a signal; anything else would fail again at once, so the time passes instead.
        return errno == EINTR ? kWaitInterrupted : idle(timeout_us);
    }
    return r > 0 ? 1 : 0;
}

int serialib::set_modem_line(int line, bool on) {
    if (fd < 0) {
        return 1;
    }
    int status = 0;
    (void)ioctl(fd, TIOCMGET, &status);
    if (on) {
        status |= line;
    } else {
        status &= ~line;
    }
    (void)ioctl(fd, TIOCMSET, &status);
    return 1;
}

bool serialib::modem_line(int line) const {
    int status = 0;
    if (fd >= 0) {
        (void)ioctl(fd, TIOCMGET, &status);
    }
    return (status & line) != 0;
}

int serialib::set_dtr(bool on) { return set_modem_line(TIOCM_DTR, on); }
int serialib::set_rts(bool on) { return set_modem_line(TIOCM_RTS, on); }
bool serialib::cts_active() const { return modem_line(TIOCM_CTS); }
bool serialib::dsr_active() const { return modem_line(TIOCM_DSR); }
bool serialib::dcd_active() const { return modem_line(TIOCM_CAR); }
bool serialib::ri_active() const { return modem_line(TIOCM_RNG); }
bool serialib::dtr_active() const { return modem_line(TIOCM_DTR); }
bool serialib::rts_active() const { return modem_line(TIOCM_RTS); }

std::streambuf* serialib::setbuf(char_type*, std::streamsize) { return this; }

std::streamsize serialib::showmanyc() {
    if (fd < 0) {
        return 0;
    }
    if (has_held_byte) {
        return 1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        return -1;
    }
    std::streamsize result = 0;
    if (receive_bytes(&held_byte, 1, kStreamReadBudgetMs, kStreamReadPauseUs) == 1) {
        has_held_byte = true;
        result = 1;
    }
    if (fcntl(fd, F_SETFL, flags) == -1) {
        return -1;
    }
    return result;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
    if (n <= 0 || fd < 0) {
        return 0;
    }
    std::streamsize stored = 0;
    if (has_held_byte) {
        s[0] = held_byte;
        has_held_byte = false;
        stored = 1;
        if (n == 1) {
            return 1;
        }
    }
    const std::streamsize wanted = n - stored;
    const uint32_t request = wanted > INT_MAX ? INT_MAX : static_cast<uint32_t>(wanted);
    const int r = receive_bytes(s + stored, request, kStreamReadBudgetMs, kStreamReadPauseUs);
    return r < 0 ? 0 : stored + r;
}

serialib::int_type serialib::underflow() {
    if (fd < 0) {
        return traits_type::eof();
    }
    if (!has_held_byte) {
        if (receive_bytes(&held_byte, 1, kStreamReadBudgetMs, kStreamReadPauseUs) != 1) {
            return traits_type::eof();
        }
        has_held_byte = true;
    }
    return traits_type::to_int_type(held_byte);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_held_byte = false;
    return c;
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || has_held_byte) {
        return traits_type::eof();
    }
    held_byte = traits_type::to_char_type(c);
    has_held_byte = true;
    return c;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
    if (n <= 0 || fd < 0 || n > INT_MAX) {
        return 0;
    }
    return send_all(s, static_cast<uint32_t>(n), kStreamWriteBudgetMs) == n ? n : 0;
}

serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof()) || fd < 0) {
        return traits_type::eof();
    }
    return send_byte(traits_type::to_char_type(c)) == 1 ? c : traits_type::eof();
}

}  // namespace Ornix::HardwareAPI::IO
