#include "HandleReader.h"

#include "TerminationSignals.h"

namespace Ornix::Companion {

namespace {

using HardwareAPI::Devices::Handle;
using HardwareAPI::Devices::HandleStatusMessage;
using HardwareAPI::Devices::QuilletStatus;

}  // namespace

HandleReader::HandleReader(Handle& handle, Mode mode, float low_battery,
                           std::chrono::nanoseconds status_period, ServoClock& clock)
    : handle(handle),
      mode(mode),
      low_battery(low_battery),
      status_period(status_period),
      clock(clock) {}

HandleReader::~HandleReader() { Stop(); }

bool HandleReader::Start() {
    if (thread.joinable() || !handle.Stream()->Claim(this)) {
        return false;
    }
    stopping.store(false);
    handle_cancellation = handle.GetCancellation();
    handle.SetCancellation(&stop_cancellation);
    thread = std::thread([this] {
        TerminationSignals::KeepFromThisThread();
        while (!stopping.load()) {
            ReadOnce();
        }
    });
    return true;
}

void HandleReader::Stop() {
    if (!thread.joinable()) {
        return;
    }
    stopping.store(true);
    thread.join();
    handle.SetCancellation(handle_cancellation);
    handle.Stream()->Release(this);
    event_told.notify_all();
}

void HandleReader::ReadOnce() {
    Status status;
    const auto began = clock.Now();
    if (!Read(status)) {
        // Nothing came: a silent or gone handle is not asked again at once.
        if (mode == Mode::Messages && !stopping.load()) {
            clock.WaitUntil(began + status_period);
        }
        return;
    }
    status.time = ServoClock::Seconds(clock.Now());
    status.count = last.count + 1;
    if (last.count > 0) {
        Compare(last, status);
    }
    Battery(status);
    last = status;
    latest.Store(status);
    if (mode == Mode::Messages) {
        clock.WaitUntil(began + status_period);
    }
}

bool HandleReader::Read(Status& status) {
    if (mode == Mode::Compact) {
        const QuilletStatus packet = handle.ReadNextQuilletStatus();
        if (packet.error_flag == QuilletStatus::kMalformedPacket ||
            packet.error_flag == QuilletStatus::kNothingReceived) {
            return false;
        }
        status.sequence = packet.sequence;
        status.device_id = packet.device_id;
        status.quaternion = packet.quaternion;
        status.error_flag = packet.error_flag;
        status.hall_level = packet.hall_effect_sensor_level;
        status.buttons = packet.buttons;
        status.battery = packet.battery_level;
        return true;
    }
    // Asked for, a status comes as a message; what else the handle sends meanwhile is read and
    // passed over.
    handle.RequestStatus();
    HandleStatusMessage message;
    if (!handle.ReadStatusMessage(message)) {
        return false;
    }
    status.device_id = message.device_id;
    status.quaternion = message.quaternion;
    status.error_flag = message.error_flag;
    status.hall_level = message.hall_effect_sensor_level;
    return true;
}

void HandleReader::Compare(const Status& before, const Status& now) {
    if (mode == Mode::Compact && static_cast<uint8_t>(before.sequence + 1) != now.sequence) {
        gaps.fetch_add(1, std::memory_order_relaxed);
    }
    const uint8_t changed = before.buttons ^ now.buttons;
    for (int button = 0; button < 8; ++button) {
        if (changed & (1u << button)) {
            const bool pressed = (now.buttons & (1u << button)) != 0;
            Tell({now.time, pressed ? Event::Kind::Pressed : Event::Kind::Released, button,
                  now.battery, now.count});
        }
    }
}

void HandleReader::Battery(const Status& now) {
    if (low_battery <= 0 || mode != Mode::Compact) {
        return;
    }
    if (!battery_low && now.battery < low_battery) {
        battery_low = true;
        Tell({now.time, Event::Kind::BatteryLow, 0, now.battery, now.count});
    } else if (battery_low && now.battery >= low_battery) {
        battery_low = false;
        Tell({now.time, Event::Kind::BatteryRecovered, 0, now.battery, now.count});
    }
}

void HandleReader::Tell(const Event& event) {
    {
        const std::lock_guard<std::mutex> lock(events_mutex);
        events.push_back(event);
    }
    event_told.notify_one();
}

size_t HandleReader::TakeEvents(Event* into, size_t most, std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(events_mutex);
    if (events.empty() && timeout > std::chrono::nanoseconds::zero()) {
        event_told.wait_for(lock, timeout, [&] { return !events.empty() || stopping.load(); });
    }
    size_t taken = 0;
    while (taken < most && !events.empty()) {
        into[taken++] = events.front();
        events.pop_front();
    }
    return taken;
}

}  // namespace Ornix::Companion
