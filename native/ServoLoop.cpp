#include "ServoLoop.h"

#include <time.h>

#include <future>

#include "TerminationSignals.h"

namespace Ornix::Companion {

namespace {

using Outcome = HardwareAPI::Devices::Device::Outcome;

// The last exchange's reply is awaited this long: it tells nothing the program needs, and a
// reply that comes later is discarded by the next whole exchange.
constexpr std::chrono::milliseconds kLastReplyWait(200);

// The calling thread's processor time.
std::chrono::nanoseconds ProcessorTime() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

std::chrono::nanoseconds Period(double rate) {
    return std::chrono::nanoseconds(static_cast<int64_t>(1e9 / rate));
}

}  // namespace

bool ServoLoop::StopCancellation::Requested(bool) {
    const int64_t until = loop.last_reply_until.load();
    if (until != 0) {
        return loop.clock.Now().count() >= until;
    }
    // A port found gone by the exchange's write will not answer: the tick ends at once.
    return loop.stop_requested.load() || TerminationSignals::Arrived() ||
           loop.arm.LastOutcome() == Outcome::PortGone;
}

ServoLoop::ServoLoop(Devices::Ostrel3& arm, const Settings& settings, ServoClock& clock)
    : arm(arm),
      settings(settings),
      clock(clock),
      pacer(Period(settings.rate)),
      envelope(settings.limits) {}

ServoLoop::~ServoLoop() { Stop(); }

bool ServoLoop::Start() {
    const std::lock_guard<std::mutex> lock(starting);
    if (thread.joinable() || !arm.Stream()->Claim(this)) {
        return false;
    }
    TerminationSignals::Watch();
    running.store(true);
    Begin();
    std::promise<void> scheduled;
    thread = std::thread([this, &scheduled] {
        TerminationSignals::KeepFromThisThread();
        scheduling = settings.realtime ? RealTimePriority::RaiseCallingThread(pacer.Period())
                                       : RealTimePriority::Obtained{"normal", "not asked for"};
        // At real-time priority the thread wakes from the kernel at once: its polling would
        // only keep the rest of the machine off the processor.
        arm.SetPolling(scheduling.policy == "normal");
        scheduled.set_value();
        Run();
        End();
    });
    scheduled.get_future().wait();
    return true;
}

void ServoLoop::Stop() {
    const std::lock_guard<std::mutex> lock(starting);
    if (!thread.joinable()) {
        return;
    }
    stop_requested.store(true);
    thread.join();
    arm.Stream()->Release(this);
    TerminationSignals::Unwatch();
    running.store(false);
}

void ServoLoop::Run() {
    while (!stop_requested.load() && !TerminationSignals::Arrived()) {
        Tick();
    }
}

void ServoLoop::Begin() {
    stop_requested.store(false);
    last_reply_until.store(0);
    arm_cancellation = arm.GetCancellation();
    arm.SetCancellation(&stop_cancellation);
    const Nanoseconds now = clock.Now();
    telemetry.Begin(now);
    pacer.Start(now);
    envelope.RampFromZero();
    last_exchange = now;
    last_heard.store(now.count());
    state = {};
    have_state = false;
    ticking.store(true);
}

void ServoLoop::Tick() {
    clock.WaitUntil(pacer.Deadline());
    const Nanoseconds began = clock.Now();
    telemetry.ResetIfAsked(began);
    telemetry.Tick(began - pacer.Deadline());
    Vec3 wanted = commanded.Load();
    // Effects need the arm's state: until the first exchange they add nothing.
    if (have_state) {
        wanted += effects.Sum(state.position, state.velocity);
    }
    const Vec3 sent = envelope.Apply(wanted, state.velocity, began, last_exchange,
                                     Nanoseconds(last_heard.load()), telemetry);
    const auto force = sent.Floats();
    const Devices::DeviceState reply = arm.EndEffectorForce(force);
    const Nanoseconds ended = clock.Now();
    const bool succeeded = arm.LastOutcome() == Outcome::Ok;
    telemetry.Exchange(ended - began, succeeded);
    if (succeeded) {
        last_exchange = ended;
        have_state = true;
        state.position = Vec3::From(reply.position);
        state.velocity = Vec3::From(reply.velocity);
    }
    state.time = ServoClock::Seconds(ended);
    ++state.tick;
    state.force = Vec3::From(force);
    published.Store(state);
    TickObserver* const told = observer.load();
    if (told != nullptr && state.tick % observe_every.load() == 0) {
        told->Observe(state);
    }
    telemetry.Processor(ProcessorTime());
    telemetry.Missed(pacer.Advance(clock.Now()));
}

void ServoLoop::End() {
    // Whatever stopped the loop, its last exchange sends zero force.
    last_reply_until.store((clock.Now() + kLastReplyWait).count());
    const Devices::DeviceState reply = arm.EndEffectorForce({0.0f, 0.0f, 0.0f});
    if (arm.LastOutcome() == Outcome::Ok) {
        state.position = Vec3::From(reply.position);
        state.velocity = Vec3::From(reply.velocity);
    }
    state.time = ServoClock::Seconds(clock.Now());
    state.force = {};
    published.Store(state);
    if (TerminationSignals::Arrived()) {
        TerminationSignals::Confirm();
    }
    arm.SetCancellation(arm_cancellation);
    arm.SetPolling(true);
    ticking.store(false);
    // A loop that ended by itself is stopping until Stop joins it.
    stop_requested.store(true);
}

void ServoLoop::Heard() { last_heard.store(clock.Now().count()); }

void ServoLoop::SetForce(const Vec3& force) {
    commanded.Store(force);
    Heard();
}

ServoState ServoLoop::State() {
    Heard();
    return published.Load();
}

Telemetry::Snapshot ServoLoop::Stats(bool reset) {
    const Nanoseconds now = clock.Now();
    const bool active = ticking.load();
    const Telemetry::Snapshot snapshot = telemetry.Read(now, active);
    if (reset) {
        telemetry.Reset(now, active);
    }
    return snapshot;
}

void ServoLoop::Observe(TickObserver* told, uint64_t every) {
    observe_every.store(every == 0 ? 1 : every);
    observer.store(told);
}

}  // namespace Ornix::Companion
