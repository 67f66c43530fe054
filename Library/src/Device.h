// The framing every device shares: a frame is one header code byte followed by a payload whose
// length the code fixes. A device writes request frames from its send buffer and waits, bounded
// by its time-out, for response codes and payloads in its receive buffer.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "Cancellation.h"
#include "LinkCounters.h"
#include "SerialStream.h"

namespace Ornix::HardwareAPI::Devices {

class Device {
public:
    static constexpr size_t kBufferSize = 1024;
    // The reply time-out every device of the system is built with, in seconds.
    static constexpr float kReplyTimeout = 5.0f;
    using Microseconds = std::chrono::microseconds;
    // The wall clock, in microseconds since the epoch.
    using Clock = Microseconds (*)();
    // An exchange begins with each request written (a handle's receive operations begin one of
    // their own); the receive-only halves add to the exchange of the request before them.
    using Outcome = Devices::Outcome;

    // The stream is borrowed and must outlive the device. A time-out of 0 or less waits forever.
    // Waits are measured in whole seconds of `clock`, so a time-out of 5.0 ends a wait between 5
    // and 6 seconds after it began; a clock set back during a wait ends it at once.
    Device(IO::SerialStream* stream, float timeout, Clock clock = &SystemTime);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    float GetTimeout() const { return timeout; }
    // How the last exchange went, so far when it is in progress.
    Outcome LastOutcome() const { return outcome.load(std::memory_order_relaxed); }
    // The link's counts, from any thread.
    LinkCounters::Snapshot Statistics() const { return counters.Take(LastOutcome()); }
    IO::SerialStream* Stream() const { return stream; }
    // Waits longer than a few milliseconds ask `cancellation` (borrowed; null for none) whether
    // to end early; a wait ended so prints nothing and fails like a time-out.
    void SetCancellation(Cancellation* cancellation) { this->cancellation = cancellation; }
    Cancellation* GetCancellation() const { return cancellation; }
    // Whether a wait polls the port for a while before it sleeps in the kernel, when the device
    // answered fast the last time (the default). A thread at real-time priority wakes from the
    // kernel at once, and its polling would only keep other work, a virtual device's process
    // on the same machine among it, off the processor.
    void SetPolling(bool polls) { polling = polls; }

    // Writes the first `length` bytes of the send buffer; more than the buffer holds is refused.
    // Every request starts from a clean stream state, whatever an earlier failure left.
    void WriteFrame(size_t length);
    // Writes the header code followed by `count` floats, little-endian; count must be 0 to 255.
    void WriteFloatFrame(uint8_t header_code, const float* values, const int& count);

    int Available() const;
    // The next byte, or 0 on a time-out or a failed read.
    uint8_t ReadHeaderCode();
    // Waits until the whole payload is waiting, then reads it: `length`, or 0 on a time-out or a
    // failed read. Lengths above the buffer size are refused with 0.
    int ReadPayload(size_t length);

    static Microseconds SystemTime();

protected:
    // How a wait for bytes ended.
    enum class WaitEnd { Arrived, TimedOut, Cancelled, Gone };

    // As ReadHeaderCode, telling whether a byte was read at all (a 0 byte is a byte).
    bool ReadCode(uint8_t& code);
    // Reads `length` bytes into the receive buffer once they are all waiting, within the
    // time-out, and prints nothing: false when they did not come or the read failed.
    bool ReadQuietly(size_t length);
    // The bound of work that may find bytes every time it looks, and so never waits: its
    // time-out, counted from when it began, and the call's cancellation, asked as a wait that
    // has lasted as long would ask it. A flooding device cannot hold such work for longer.
    class Bound {
    public:
        explicit Bound(Device& device);
        Microseconds Start() const { return start; }
        // True once the work must end.
        bool Reached();

    private:
        Device& device;
        Microseconds start;
        Microseconds next_check;
    };

    // Reads what is waiting now without waiting for more, within the time-out.
    void DiscardWaiting();
    // Discards what arrives until the port has been quiet for a while, for at most the time-out;
    // for input whose length nothing tells.
    void DrainUntilQuiet();
    // The start of a whole exchange: a clean stream state and nothing stale in the port.
    void BeginExchange();
    // Reads up to `length` of the bytes waiting now into `destination`: the count read.
    size_t ReadWaiting(uint8_t* destination, size_t length);
    // Begins an exchange that no request begins: what a handle sends unasked.
    void BeginReceiving();
    // Records a failure of the exchange, unless an earlier one is recorded already.
    void Fail(Outcome failure);

    float timeout;
    IO::SerialStream* stream;
    std::array<uint8_t, kBufferSize> send_buffer{};
    std::array<uint8_t, kBufferSize> receive_buffer{};

private:
    size_t Waiting() const;
    // Reads and drops up to `count` of the bytes waiting, until `bound` is reached.
    void Discard(size_t count, Bound& bound);
    bool TimedOut(Microseconds start, Microseconds now) const;
    // The first instant at which a wait that began at `start` has timed out.
    Microseconds Deadline(Microseconds start) const;
    // Waits until `count` bytes are waiting: for at most the time-out counted from `start` and,
    // when `quiet` is positive, for at most that long from now.
    WaitEnd AwaitBytes(size_t count, Microseconds start, Microseconds quiet);

    Clock clock;
    Cancellation* cancellation = nullptr;
    std::atomic<Outcome> outcome{Outcome::Ok};
    LinkCounters counters;
    bool answers_fast = true;  // the last wait that waited ended soon: the next one polls first
    bool polling = true;
};

}  // namespace Ornix::HardwareAPI::Devices
