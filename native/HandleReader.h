// A handle read in the background: on a thread of its own it reads every compact status packet
// the handle streams (or, for a handle that does not stream, asks for and reads its status
// messages), publishes the newest status for any thread to copy at any moment, and turns each
// change of a button and each crossing of the battery's low level into an event, kept in order
// with its time until the program takes it. While it runs it has claimed the handle's stream.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "Cancellation.h"
#include "Handle.h"
#include "SeqLock.h"
#include "ServoClock.h"

namespace Ornix::Companion {

class HandleReader {
public:
    enum class Mode { Compact, Messages };

    struct Status {
        double time = 0;       // when it was read, seconds on the monotonic clock
        uint64_t count = 0;    // statuses read so far, this one included
        uint8_t sequence = 0;  // the handle's own packet count (compact packets)
        uint16_t device_id = 0;
        std::array<float, 4> quaternion{};
        uint8_t error_flag = 0;
        uint8_t hall_level = 0;
        uint8_t buttons = 0;
        float battery = 0;  // volts (compact packets)
    };

    struct Event {
        enum class Kind { Pressed, Released, BatteryLow, BatteryRecovered };
        double time = 0;
        Kind kind = Kind::Pressed;
        int button = 0;  // for presses and releases, 0 to 7
        float battery = 0;
        uint64_t count = 0;  // the status that told it
    };

    // The handle and the clock must outlive the reader. `low_battery` in volts; 0 for none.
    // `status_period`: how often a handle that does not stream is asked for its status.
    HandleReader(HardwareAPI::Devices::Handle& handle, Mode mode, float low_battery,
                 std::chrono::nanoseconds status_period, ServoClock& clock);
    ~HandleReader();
    HandleReader(const HandleReader&) = delete;
    HandleReader& operator=(const HandleReader&) = delete;

    // False when the handle's stream is claimed already or the reader runs.
    bool Start();
    void Stop();
    bool Running() const { return thread.joinable(); }

    Status Latest() const { return latest.Load(); }
    // Moves up to `most` of the events waiting into `into`, oldest first: how many. Waits up to
    // `timeout` for one when none waits.
    size_t TakeEvents(Event* into, size_t most, std::chrono::nanoseconds timeout);
    // Statuses whose sequence count says packets were lost between them and the one before.
    uint64_t Gaps() const { return gaps.load(std::memory_order_relaxed); }

    // One read, for a test on its own thread: what the thread does each time.
    void ReadOnce();

private:
    class StopCancellation final : public HardwareAPI::Devices::Cancellation {
    public:
        explicit StopCancellation(const std::atomic<bool>& stopping) : stopping(stopping) {}
        bool Requested(bool) override { return stopping.load(); }

    private:
        const std::atomic<bool>& stopping;
    };

    bool Read(Status& status);
    void Tell(const Event& event);
    // Gaps in the packet count and button changes from one status to the next.
    void Compare(const Status& before, const Status& now);
    // A crossing of the low-battery level, once each way.
    void Battery(const Status& now);

    HardwareAPI::Devices::Handle& handle;
    Mode mode;
    float low_battery;
    std::chrono::nanoseconds status_period;
    ServoClock& clock;
    SeqLock<Status> latest;
    Status last;  // count 0 before the first
    bool battery_low = false;
    std::atomic<uint64_t> gaps{0};

    std::mutex events_mutex;
    std::condition_variable event_told;
    std::deque<Event> events;

    std::atomic<bool> stopping{false};
    StopCancellation stop_cancellation{stopping};
    HardwareAPI::Devices::Cancellation* handle_cancellation = nullptr;
    std::thread thread;
};

}  // namespace Ornix::Companion
