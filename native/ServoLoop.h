// A fixed-rate servo loop for an Ostrel3, on a thread of its own: each tick it adds the
// program's commanded force to the effects, passes the sum through the safety envelope, makes
// one end-effector force exchange and publishes the arm's state. The program sets its force and
// reads the state at any moment without waiting on the loop. While the loop runs it has claimed
// the arm's stream, so that calls from elsewhere are refused; every way it stops sends zero
// force last.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Cancellation.h"
#include "EffectSet.h"
#include "Ostrel3.h"
#include "Pacer.h"
#include "RealTimePriority.h"
#include "SafetyEnvelope.h"
#include "SeqLock.h"
#include "ServoClock.h"
#include "Telemetry.h"

namespace Ornix::Companion {

namespace Devices = HardwareAPI::Devices;

// What the loop knew after a tick: when its exchange ended (seconds on the monotonic clock),
// the tick's number (from 1), the arm's position and velocity and the force sent.
struct ServoState {
    double time = 0;
    uint64_t tick = 0;
    Vec3 position;
    Vec3 velocity;
    Vec3 force;
};

// Told of the state every so many ticks, on the loop's thread: it must return at once.
class TickObserver {
public:
    virtual void Observe(const ServoState& state) = 0;

protected:
    ~TickObserver() = default;
};

class ServoLoop {
public:
    using Nanoseconds = std::chrono::nanoseconds;

    struct Settings {
        double rate = 1000;  // ticks per second, finite and positive
        SafetyLimits limits;
        // Ask for real-time scheduling.
        bool realtime = true;
    };

    // The arm must outlive the loop, the clock too.
    ServoLoop(Devices::Ostrel3& arm, const Settings& settings, ServoClock& clock);
    ~ServoLoop();
    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    // Claims the arm's stream and starts the thread; false when the stream is claimed already
    // or the loop runs. A loop stopped may start again.
    bool Start();
    // Asks the thread to stop, waits for its last exchange (zero force) and releases the
    // stream. Does nothing when the loop is not running.
    void Stop();
    // Asks the loop to stop on its own, as after a failed observer: from any thread, at once.
    void RequestStop() { stop_requested.store(true); }
    bool Running() const { return running.load(); }
    // Whether the loop has ended, or is ending, by itself.
    bool Stopping() const { return stop_requested.load(); }

    // The program's side; neither waits on the loop.
    void SetForce(const Vec3& force);
    ServoState State();
    EffectSet& Effects() { return effects; }
    SafetyEnvelope& Envelope() { return envelope; }
    Telemetry::Snapshot Stats(bool reset);
    const RealTimePriority::Obtained& Scheduling() const { return scheduling; }
    double Rate() const { return settings.rate; }
    const Devices::Ostrel3& Arm() const { return arm; }
    void Observe(TickObserver* observer, uint64_t every);

    // For a test with a clock of its own, instead of Start: the loop's steps on the caller's
    // thread. Begin and End bracket the ticks as the thread's start and stop do; a tick waits
    // for its deadline first.
    void Begin();
    void Tick();
    void End();

private:
    // Ends the arm's waits when the loop must stop, and the last exchange's wait after a while.
    class StopCancellation final : public HardwareAPI::Devices::Cancellation {
    public:
        explicit StopCancellation(ServoLoop& loop) : loop(loop) {}
        bool Requested(bool) override;

    private:
        ServoLoop& loop;
    };

    void Run();
    void Heard();

    Devices::Ostrel3& arm;
    Settings settings;
    ServoClock& clock;
    Pacer pacer;
    SafetyEnvelope envelope;
    EffectSet effects;
    Telemetry telemetry;
    SeqLock<Vec3> commanded;
    SeqLock<ServoState> published;
    StopCancellation stop_cancellation{*this};
    HardwareAPI::Devices::Cancellation* arm_cancellation = nullptr;
    RealTimePriority::Obtained scheduling{"normal", "not started"};

    std::atomic<bool> running{false};
    std::atomic<bool> stop_requested{false};
    // Until when the last exchange may wait for its reply; 0 before the last exchange.
    std::atomic<int64_t> last_reply_until{0};
    std::atomic<int64_t> last_heard{0};
    std::atomic<TickObserver*> observer{nullptr};
    std::atomic<uint64_t> observe_every{1};

    // The loop's own, between Begin and End.
    ServoState state;
    bool have_state = false;
    Nanoseconds last_exchange{};
    std::atomic<bool> ticking{false};

    std::mutex starting;  // Start and Stop take turns
    std::thread thread;
};

}  // namespace Ornix::Companion
