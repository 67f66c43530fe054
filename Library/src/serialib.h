// The serial port: owns the descriptor of one serial character device, puts it into raw mode and
// reads and writes it under millisecond budgets. It is at once an unbuffered std::streambuf, so
// that SerialStream can offer the port as a standard iostream.
#pragma once

#include <cstdint>
#include <streambuf>

#include "port_timer.h"

namespace Ornix::HardwareAPI::IO {

class serialib : public std::streambuf {
public:
    // Results of open_port.
    static constexpr int8_t kOpened = 1;
    static constexpr int8_t kCannotOpenDevice = -2;  // errno tells why
    static constexpr int8_t kUnsupportedBaudRate = -4;
    static constexpr int8_t kUnsupportedDataBits = -7;
    static constexpr int8_t kUnsupportedStopBits = -8;
    static constexpr int8_t kUnsupportedParity = -9;

    // Results of the receive operations besides counts.
    static constexpr int kReadError = -2;          // read(2) failed; errno tells why
    static constexpr int kTerminatorMissing = -3;  // receive_until filled max_bytes without it

    // Results of the send operations.
    static constexpr int kWriteFailed = -1;

    // Results of wait_for_input.
    static constexpr int kInputWaiting = 1;
    static constexpr int kInputNotYet = 0;
    static constexpr int kWaitInterrupted = -1;  // a signal arrived; the caller decides what next
    static constexpr int kLineGone = -2;         // the line has hung up or failed for good

    explicit serialib(port_timer::clock_function clock = &port_timer::wall_clock);
    ~serialib() override;
    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // data_bits: 0..3 for 5..8 bits; parity: 0 none, 1 even, 2 odd; stop_bits: 0 one, 2 two.
    // Only a terminal device is a port: any other file is closed again, with ENOTTY. A port is
    // opened for exclusive use: one that another opening holds, in this process or another, is
    // closed again, with EBUSY. The baud rate and the codes are checked after the device is
    // open: on a refusal the descriptor stays open, unconfigured.
    int8_t open_port(const char* device, uint32_t baud, uint32_t data_bits, uint32_t parity,
                     uint32_t stop_bits);
    // What opening `device` as a port would meet, without configuring it: 0 when it opens,
    // else the errno open_port leaves (ENOENT, EACCES, ENOTTY for a file that is no terminal,
    // EBUSY for a port another opening holds, ...). The port is closed again at once.
    static int check_port(const char* device);
    void close_port();
    bool is_open() const { return fd >= 0; }
    // The port's descriptor, -1 while it is closed: for a caller that waits on the port in a
    // select loop of its own, beside other descriptors. The port keeps owning it and closes it.
    int descriptor() const { return fd; }

    int send_byte(char c);
    int send_text(const char* text);
    int send_bytes(const void* data, uint32_t n);
    // n once all n bytes are written, waiting in the kernel while the port cannot take more;
    // kWriteFailed when a write fails or the budget is spent with bytes unwritten (errno EAGAIN).
    // A block that has begun to go out gets five budgets in all to end, so that a device that
    // stops reading for a while does not get half a frame.
    int send_all(const void* data, uint32_t n, uint32_t timeout_ms);

    // A timeout_ms of 0 means no limit.
    int receive_byte(char* out, uint32_t timeout_ms);
    // buffer needs room for max_bytes + 1: a 0 is stored after the bytes read.
    int receive_until(char* buffer, char terminator, uint32_t max_bytes, uint32_t timeout_ms);
    int receive_bytes(void* buffer, uint32_t max_bytes, uint32_t timeout_ms, uint32_t sleep_us);

    int discard_input();
    int pending_bytes() const;
    // Waits in the kernel, at most timeout_us, for `count` bytes to be waiting: kInputWaiting when
    // they are, kInputNotYet when not (yet), kWaitInterrupted when a signal ended the wait,
    // kLineGone when the line has hung up (the device was unplugged: no byte can come). While
    // some but not all have come it pauses for about the time the rest take on the line, as the
    // descriptor stays readable; a closed port just lets the time pass.
    int wait_for_input(uint32_t count, uint32_t timeout_us);
    // Lets the time pass without using the processor: kWaitInterrupted when a signal ended it,
    // else kInputNotYet.
    static int idle(uint32_t timeout_us);

    int set_dtr(bool on);
    int raise_dtr() { return set_dtr(true); }
    int lower_dtr() { return set_dtr(false); }
    int set_rts(bool on);
    int raise_rts() { return set_rts(true); }
    int lower_rts() { return set_rts(false); }
    bool cts_active() const;
    bool dsr_active() const;
    bool dcd_active() const;
    bool ri_active() const;
    bool dtr_active() const;
    bool rts_active() const;

protected:
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    // Every stream-buffer read gives the port this long, pausing this long between polls.
    static constexpr uint32_t kStreamReadBudgetMs = 1000;
    static constexpr uint32_t kStreamReadPauseUs = 100;
    // Every stream-buffer write gives the port this long to take the block.
    static constexpr uint32_t kStreamWriteBudgetMs = 1000;

    // Waits in the kernel for the descriptor to become readable or writable: 1 when it did, 0
    // when the time passed, kWaitInterrupted when a signal ended the wait.
    int wait_until(bool writable, uint32_t timeout_us) const;

    // Opens `device` as every port is opened: read and write, no controlling terminal, without
    // waiting for the modem lines, a terminal only, for exclusive use. The descriptor, or -1
    // with errno telling why.
    static int open_for_use(const char* device);
    // Takes the exclusive lock on an opened port; false when another descriptor holds it, also
    // after the process's port reclaimer has had its tries.
    static bool Lock(int opened);
    static constexpr int kReclaimAttempts = 3;

    int set_modem_line(int line, bool on);
    bool modem_line(int line) const;

    char held_byte = 0;
    bool has_held_byte = false;
    int fd = -1;
    uint32_t character_us = 0;  // the time one character takes on the line at the open speed
    port_timer::clock_function clock;
};

}  // namespace Ornix::HardwareAPI::IO
