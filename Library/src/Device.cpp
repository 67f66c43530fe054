#include "Device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>

#include "Diagnostics.h"
#include "LittleEndian.h"

namespace Ornix::HardwareAPI::Devices {

namespace {

using Microseconds = Device::Microseconds;
using InputWait = IO::SerialStream::InputWait;

// Each error line names its place: this file, as the project knows it, and a fixed line number.
constexpr const char* kSourceFile = "Library/src/Device.cpp";
constexpr unsigned kHeaderTimeoutLine = 57;
constexpr unsigned kHeaderReadLine = 74;
constexpr unsigned kPayloadTimeoutLine = 86;
constexpr unsigned kPayloadReadLine = 96;

constexpr int kMaxFloatsPerFrame = 255;

// A wait polls the port without pause for a first stretch, then waits in the kernel in slices,
// so that a deadline, a clock set back or a cancellation is noticed within a slice. Going to the
// kernel costs a wake-up that can take longer than a fast device's answer (over 100 us on a busy
// virtual machine), so a device whose last answer came within kFastAnswer, wake-up included, is
// polled; one that answered later, or not at all, is awaited in the kernel at once, sparing the
// processor for as long as it answers that slowly.
constexpr Microseconds kBusyPoll(250);
constexpr Microseconds kFastAnswer(750);
constexpr Microseconds kLongestSlice(20000);
// Cancellation is asked only in waits that have lasted this long, then at most this often and
// at once after a signal: a fast exchange never pays for asking.
constexpr Microseconds kCancellationAfter(2000);
constexpr Microseconds kCancellationEvery(10000);
// Input whose length nothing tells is drained until the port has been quiet this long: bursty
// links (Bluetooth, the latency timers of USB adapters) hold bytes back for tens of milliseconds.
constexpr Microseconds kQuietInterval(50000);

// Waits in progress in the process. While several wait at once, on several threads for several
// devices, a polling wait yields the processor at every look: the others and whatever answers
// them get to run, and the processor stays awake for the answer.
std::atomic<int> waits_in_progress{0};

class WaitInProgress {
public:
    WaitInProgress() { waits_in_progress.fetch_add(1, std::memory_order_relaxed); }
    ~WaitInProgress() { waits_in_progress.fetch_sub(1, std::memory_order_relaxed); }
    WaitInProgress(const WaitInProgress&) = delete;
    WaitInProgress& operator=(const WaitInProgress&) = delete;

    bool Alone() const { return waits_in_progress.load(std::memory_order_relaxed) == 1; }
};

constexpr std::time_t WholeSeconds(Microseconds time) {
    return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(time).count());
}

}  // namespace

Device::Device(IO::SerialStream* stream, float timeout, Clock clock)
    : timeout(timeout), stream(stream), clock(clock) {}

Microseconds Device::SystemTime() {
    return std::chrono::duration_cast<Microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
}

void Device::WriteFrame(size_t length) {
    if (length > kBufferSize) {
        return;
    }
    BeginReceiving();
    stream->clear();
    stream->Write(send_buffer.data(), length);
    if (!stream->fail()) {
        counters.Wrote(length);
        return;
    }
    // A port whose device is gone fails its writes with one of these.
    const bool gone = errno == EIO || errno == ENXIO || errno == ENODEV || errno == EBADF;
    Fail(gone ? Outcome::PortGone : Outcome::WriteFailed);
}

void Device::BeginReceiving() {
    counters.Begin(LastOutcome());
    outcome.store(Outcome::Ok, std::memory_order_relaxed);
}

void Device::Fail(Outcome failure) {
    if (LastOutcome() == Outcome::Ok) {
        outcome.store(failure, std::memory_order_relaxed);
        counters.Failed(failure, errno, clock().count());
    }
}

void Device::WriteFloatFrame(uint8_t header_code, const float* values, const int& count) {
    if (count < 0 || count > kMaxFloatsPerFrame) {
        return;
    }
    send_buffer[0] = header_code;
    for (int i = 0; i < count; ++i) {
        LittleEndian::WriteFloat(&send_buffer[1 + 4 * i], values[i]);
    }
    WriteFrame(4 * static_cast<size_t>(count) + 1);
}

int Device::Available() const { return stream->Available(); }

size_t Device::Waiting() const { return static_cast<size_t>(std::max(Available(), 0)); }

bool Device::TimedOut(Microseconds start, Microseconds now) const {
    if (timeout <= 0) {
        return false;
    }
    return now < start ||
           std::difftime(WholeSeconds(now), WholeSeconds(start)) > static_cast<double>(timeout);
}

Microseconds Device::Deadline(Microseconds start) const {
    // Whole seconds and a strict comparison: the first whole second past the time-out.
    const auto seconds = static_cast<std::time_t>(std::floor(timeout)) + 1;
    return std::chrono::seconds(WholeSeconds(start) + seconds);
}

Device::WaitEnd Device::AwaitBytes(size_t count, Microseconds start, Microseconds quiet) {
    if (Waiting() >= count) {
        return WaitEnd::Arrived;
    }
    const Microseconds began = clock();
    const Microseconds busy_poll = polling && answers_fast ? kBusyPoll : Microseconds::zero();
    const WaitInProgress in_progress;
    Microseconds next_check = began + kCancellationAfter;
    bool signalled = false;
    for (;;) {
        const Microseconds now = clock();
        const Microseconds waited = now - began;
        if (Waiting() >= count) {
            answers_fast = waited < kFastAnswer;
            return WaitEnd::Arrived;
        }
        if (quiet > Microseconds::zero() && waited >= quiet) {
            return WaitEnd::TimedOut;  // the port was quiet: that tells nothing of the device
        }
        if (waited < Microseconds::zero() || TimedOut(start, now)) {
            answers_fast = false;
            return WaitEnd::TimedOut;
        }
        if (waited < busy_poll) {
            if (!in_progress.Alone()) {
                std::this_thread::yield();
            }
            continue;
        }
        if (now >= next_check) {
            if (cancellation != nullptr && cancellation->Requested(signalled)) {
                return WaitEnd::Cancelled;
            }
            signalled = false;
            next_check = now + kCancellationEvery;
        }
        Microseconds slice = kLongestSlice;
        if (timeout > 0) {
            slice = std::min(slice, Deadline(start) - now);
        }
        if (quiet > Microseconds::zero()) {
            slice = std::min(slice, quiet - waited);
        }
        const InputWait waited_for = stream->WaitForInput(count, slice);
        if (waited_for == InputWait::Gone) {
            answers_fast = false;
            return WaitEnd::Gone;
        }
        if (waited_for == InputWait::Interrupted) {
            signalled = true;
            next_check = std::min(next_check, std::max(now, began + kCancellationAfter));
        }
    }
}

bool Device::ReadCode(uint8_t& code) {
    code = 0;
    stream->clear();
    const WaitEnd wait = AwaitBytes(1, clock(), Microseconds::zero());
    switch (wait) {
        case WaitEnd::TimedOut:
        case WaitEnd::Gone:
            // A line gone ends the wait at once, with the line a wait that ran out would give.
            Fail(wait == WaitEnd::Gone ? Outcome::PortGone : Outcome::TimedOut);
            Diagnostics::Report(kSourceFile, kHeaderTimeoutLine, "timeout waiting for header code");
            return false;
        case WaitEnd::Cancelled:
            Fail(Outcome::Cancelled);
            return false;
        case WaitEnd::Arrived:
            break;
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.data()), 1);
    counters.Read(static_cast<size_t>(stream->gcount()));
    if (stream->good()) {
        code = receive_buffer[0];
        return true;
    }
    Fail(stream->eof() ? Outcome::CutShort : Outcome::PortGone);
    if (!stream->eof()) {
        Diagnostics::Report(kSourceFile, kHeaderReadLine, "unable to read header code from stream");
    }
    return false;
}

uint8_t Device::ReadHeaderCode() {
    uint8_t code = 0;
    ReadCode(code);
    return code;
}

int Device::ReadPayload(size_t length) {
    if (length == 0 || length > kBufferSize) {
        return 0;
    }
    const WaitEnd wait = AwaitBytes(length, clock(), Microseconds::zero());
    switch (wait) {
        case WaitEnd::TimedOut:
        case WaitEnd::Gone:
            Fail(wait == WaitEnd::Gone ? Outcome::PortGone : Outcome::CutShort);
            Diagnostics::Report(kSourceFile, kPayloadTimeoutLine, "timeout waiting for payload");
            return 0;
        case WaitEnd::Cancelled:
            Fail(Outcome::Cancelled);
            return 0;
        case WaitEnd::Arrived:
            break;
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.data()),
                 static_cast<std::streamsize>(length));
    counters.Read(static_cast<size_t>(stream->gcount()));
    if (stream->good()) {
        return static_cast<int>(stream->gcount());
    }
    Fail(stream->eof() ? Outcome::CutShort : Outcome::PortGone);
    if (!stream->eof()) {
        Diagnostics::Report(kSourceFile, kPayloadReadLine, "unable to read '%zu' bytes from stream",
                            length);
    }
    return 0;
}

bool Device::ReadQuietly(size_t length) {
    if (length > kBufferSize ||
        AwaitBytes(length, clock(), Microseconds::zero()) != WaitEnd::Arrived) {
        return false;
    }
    return ReadWaiting(receive_buffer.data(), length) == length;
}

size_t Device::ReadWaiting(uint8_t* destination, size_t length) {
    const size_t wanted = std::min(length, Waiting());
    if (wanted == 0 || !stream->good()) {
        return 0;
    }
    stream->read(reinterpret_cast<char*>(destination), static_cast<std::streamsize>(wanted));
    counters.Read(static_cast<size_t>(stream->gcount()));
    return static_cast<size_t>(stream->gcount());
}

Device::Bound::Bound(Device& device)
    : device(device), start(device.clock()), next_check(start + kCancellationAfter) {}

bool Device::Bound::Reached() {
    const Microseconds now = device.clock();
    if (device.TimedOut(start, now)) {
        return true;
    }
    if (now < next_check) {
        return false;
    }
    next_check = now + kCancellationEvery;
    return device.cancellation != nullptr && device.cancellation->Requested(false);
}

void Device::Discard(size_t count, Bound& bound) {
    for (size_t left = count; left > 0 && !bound.Reached();) {
        const size_t read = ReadWaiting(receive_buffer.data(), std::min(left, kBufferSize));
        if (read == 0) {
            return;
        }
        left -= std::min(read, left);
    }
}

void Device::DiscardWaiting() {
    // Only what is waiting now: a device that keeps sending cannot hold the call here.
    const size_t waiting = Waiting();
    if (waiting > 0) {
        Bound bound(*this);
        Discard(waiting, bound);
    }
}

void Device::DrainUntilQuiet() {
    Bound bound(*this);
    do {
        Discard(Waiting(), bound);
        if (!stream->good() || bound.Reached()) {
            return;
        }
    } while (AwaitBytes(1, bound.Start(), kQuietInterval) == WaitEnd::Arrived);
}

void Device::BeginExchange() {
    stream->clear();
    DiscardWaiting();
}

}  // namespace Ornix::HardwareAPI::Devices
