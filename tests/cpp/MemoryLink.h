// A SerialStream over bytes in memory with a virtual wall clock, for the protocol and timing
// logic without a port: bytes arrive at virtual times, every reading of the clock moves it on a
// microsecond, and a wait in the kernel moves it on to when the bytes are there or the wait ends.
// A responder may answer each frame written, or a script (Script.h), as FakeDevice plays on a
// pseudo-terminal, may play the device on the virtual clock. Nothing here depends on how busy the
// machine is.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "Cancellation.h"
#include "Script.h"
#include "SerialStream.h"

namespace Ornix::Testing {

class MemoryLink : public HardwareAPI::IO::SerialStream, public ScriptBuilder<MemoryLink> {
public:
    using Responder = std::function<void(MemoryLink& link, const Bytes& frame)>;

    // The newest link is the one Clock() reads.
    MemoryLink();
    // Fails the test for every mismatched request and every script step not played.
    ~MemoryLink() override;
    MemoryLink(const MemoryLink&) = delete;
    MemoryLink& operator=(const MemoryLink&) = delete;

    // The virtual wall clock, for devices built on the link; starts at 1000 s and 0 µs.
    static Microseconds Clock();
    Microseconds Now() const { return now; }
    // Sets the clock, backwards too.
    void SetNow(Microseconds time) { now = time; }

    // `bytes` arrive `after` from now.
    MemoryLink& Arrive(const Bytes& bytes, Microseconds after = Microseconds(0));
    // Called with every frame written, after it is recorded.
    void Answer(Responder responder) { this->responder = std::move(responder); }

    // Script steps are played in order as the written bytes allow, each at the virtual time the
    // step before it was played, or later: a reply or hang-up is due its delay after it, and
    // comes then without waiting for the clock to get there. While the device stalls, the line
    // takes whatever is written; a flood begins as soon as it is reached. A wait for input past a
    // hang-up ends at once, as on an unplugged port, unless what it waits for has come.
    bool Played() const { return next_step == steps.size(); }
    // A signal interrupts the first kernel wait that reaches `at`.
    void SignalAt(Microseconds at) { signal_at = at; }
    // Once the clock reaches `at` it is set to `to`, as a wall clock is set back or forward.
    void SetClockAt(Microseconds at, Microseconds to) { clock_change = {at, to}; }
    // Reads fail from now on, as a port whose read errors do.
    void FailReads() { buffer.failing = true; }
    // Writes fail from now on, as on a port that cannot take them.
    void FailWrites() { failing_writes = true; }
    // While a flood plays, behind what has arrived, its pattern comes over and over without end:
    // every look finds kFloodWaiting more bytes waiting, and reading them takes a microsecond
    // each, as from a device that sends faster than the host reads.
    static constexpr int kFloodWaiting = 1024;

    const Bytes& Written() const { return written; }
    int KernelWaits() const { return kernel_waits; }
    long ClockReadings() const { return clock_readings; }
    // Bytes that have arrived or are still to arrive, and not read.
    size_t Unread() const { return buffer.bytes.size(); }

    int Available() const override;
    void Write(const void* data, size_t length) override;
    InputWait WaitForInput(size_t count, std::chrono::microseconds limit) override;
    void Close() override {}

private:
    friend class ScriptBuilder<MemoryLink>;

    struct Arrival {
        Microseconds at;
        uint8_t byte;
    };

    // Serves the bytes that have arrived by the link's time.
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(MemoryLink& link) : link(link) {}
        std::deque<Arrival> bytes;
        bool failing = false;
        Bytes flood;
        size_t flooded = 0;  // flood bytes read so far

    protected:
        std::streamsize xsgetn(char_type* s, std::streamsize n) override;
        int_type underflow() override;
        int_type uflow() override;

    private:
        // The next byte to read once the arrived ones are read: one of the flood.
        char_type NextFlooded() const {
            return static_cast<char_type>(flood[flooded % flood.size()]);
        }

        MemoryLink& link;
    };

    void AddStep(Step step);
    // Plays every step the bytes written so far, and the clock, allow.
    void PlayScript();
    // Whether the line has hung up by now.
    bool HungUp() const { return hangup_at && now >= *hangup_at; }
    // When the first `count` bytes will all have arrived, if ever.
    std::optional<Microseconds> ArrivalOf(size_t count) const;
    // Moves the clock to `time`, applying a clock change that falls due, and plays the script on
    // once a stall is over.
    void MoveTo(Microseconds time);

    Microseconds now{std::chrono::seconds(1000)};
    Buffer buffer{*this};
    Bytes written;
    Responder responder;
    std::vector<Step> steps;
    size_t next_step = 0;
    size_t matched = 0;  // written bytes already claimed by Expect and Seek steps
    Microseconds last_step_at{};
    std::optional<Microseconds> hangup_at;
    std::optional<Microseconds> reading_from;  // the end of a stall
    std::vector<std::string> mismatches;
    std::optional<Microseconds> signal_at;
    std::optional<std::pair<Microseconds, Microseconds>> clock_change;
    int kernel_waits = 0;
    long clock_readings = 0;
    bool failing_writes = false;
};

// A cancellation requested once the link's clock has reached a time; counts how often it is
// asked.
class CancelAt : public HardwareAPI::Devices::Cancellation {
public:
    CancelAt(const MemoryLink& link, Microseconds at) : link(link), at(at) {}
    bool Requested(bool signalled) override {
        ++asked;
        signalled_asks += signalled;
        return link.Now() >= at;
    }
    int asked = 0;
    int signalled_asks = 0;

private:
    const MemoryLink& link;
    Microseconds at;
};

}  // namespace Ornix::Testing
