// A serial line simulated in memory beneath the library, so that the port's read and write paths
// run as they do on a device, without real waits and the same way on every run. The port opens a
// real pseudo-terminal, which gives it a terminal to configure; from then on the system calls it
// makes on that descriptor (read, write, select, ioctl FIONREAD, tcflush), its pauses (nanosleep,
// usleep, select without descriptors) and the wall clock (gettimeofday) are answered by the
// simulation, in which time passes only when the clock is read or something waits.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace Ornix::Fuzzing {

// The fuzz input as a source of decisions, a byte at a time; none once it is used up.
class Decisions {
public:
    Decisions(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool Done() const { return at >= size; }
    // The next byte, or `otherwise` once the input is used up.
    uint8_t Next(uint8_t otherwise = 0) { return at < size ? data[at++] : otherwise; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

class SimulatedLine {
public:
    // Each reading of the clock is this much later than the one before.
    explicit SimulatedLine(uint64_t reading_step_us);
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    // The path the port opens; the descriptor opened on it is the one that is simulated.
    const char* Path() const { return path.c_str(); }

    // Starts an input afresh: nothing on its way, nothing written, decisions from `decisions`
    // (borrowed; null for none: every write is refused with EAGAIN and every wait runs out).
    void Restart(Decisions* decisions);

    // The simulated wall clock; as a function for the port's clock parameter.
    timeval Now();
    static timeval Clock();
    uint64_t NowUs() const { return now_us; }

    // The device sends bytes, which the port can read once `delay_us` has passed.
    void Send(const uint8_t* bytes, size_t count, uint64_t delay_us);
    // Every byte the port has written since the restart, in order.
    const std::vector<uint8_t>& Written() const { return written; }
    // How many writes the line has failed (EIO) since the restart.
    size_t Failures() const { return failures; }

    // The system calls on the line's descriptor, and the pauses.
    void Opened(int descriptor, const char* opened_path);
    void Closed();
    bool Owns(int descriptor) const;
    // Whether a select watches the line's descriptor, or watches nothing and only lets time pass.
    bool Watched(int count, const fd_set* readers, const fd_set* writers) const;
    ssize_t Read(void* buffer, size_t count);
    ssize_t Write(const void* bytes, size_t count);
    int Select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* limit);
    int Waiting();
    void Flush();
    void Pass(uint64_t microseconds);

private:
    struct Arrival {
        uint64_t at_us;
        uint8_t byte;
    };

    // Moves what has arrived by now into the readable bytes.
    void Deliver();

    int master = -1;
    std::string path;
    int descriptor = -1;
    uint64_t reading_step_us;
    uint64_t now_us = 0;
    Decisions* decisions = nullptr;
    std::deque<Arrival> on_the_way;
    std::deque<uint8_t> readable;
    std::vector<uint8_t> written;
    size_t failures = 0;
};

}  // namespace Ornix::Fuzzing
