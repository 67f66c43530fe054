// What a device's link has done: its exchanges by how each went, the bytes each way and its last
// failure. The one thread that drives the device counts; any other may read meanwhile (a
// program while a servo loop drives its arm, a monitor), so every count is an atomic, which the
// counting thread alone writes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Ornix::HardwareAPI::Devices {

// How an exchange went: its first failure, or Ok.
enum class Outcome {
    Ok,
    TimedOut,     // no reply began within the time-out
    WrongReply,   // the reply was not the one the request asks for
    CutShort,     // the reply began but did not arrive whole
    WriteFailed,  // the request could not be written
    PortGone,     // the port failed: unplugged, or its line has hung up
    Cancelled,    // the call's cancellation ended it
};

class LinkCounters {
public:
    static constexpr size_t kOutcomes = 7;

    struct Snapshot {
        uint64_t exchanges = 0;
        std::array<uint64_t, kOutcomes> by_outcome{};
        uint64_t bytes_written = 0;
        uint64_t bytes_read = 0;
        // How many exchanges in a row, up to the last, timed out.
        uint64_t timeouts_in_a_row = 0;
        bool failed = false;  // the rest tell of the last failure
        Outcome last_failure = Outcome::Ok;
        int last_errno = 0;
        int64_t last_failure_us = 0;  // on the device's clock
    };

    // An exchange begins; the one before it, if any, ended as `previous`.
    void Begin(Outcome previous);
    void Failed(Outcome failure, int error_number, int64_t time_us);
    void Wrote(size_t bytes) { Add(bytes_written, bytes); }
    void Read(size_t bytes) { Add(bytes_read, bytes); }
    // The counts, the exchange in progress included as it stands (`current`).
    Snapshot Take(Outcome current) const;

private:
    static void Add(std::atomic<uint64_t>& counter, uint64_t amount) {
        counter.store(counter.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> exchanges{0};
    std::array<std::atomic<uint64_t>, kOutcomes> by_outcome{};
    std::atomic<uint64_t> bytes_written{0};
    std::atomic<uint64_t> bytes_read{0};
    std::atomic<bool> in_progress{false};
    std::atomic<uint64_t> timeouts_in_a_row{0};
    std::atomic<int> last_failure{-1};
    std::atomic<int> last_errno{0};
    std::atomic<int64_t> last_failure_us{0};
};

}  // namespace Ornix::HardwareAPI::Devices
