#include "LinkLatency.h"

#include <algorithm>

LinkLatency::LinkLatency(const LinkModel& model, Clock::time_point start)
    : model_(model),
      start_(start),
      // An adapter that has long sent nothing lets its first bytes go on the next frame.
      last_sent_(start - model.latency_timer),
      latest_(start),
      random_(model.seed) {}

void LinkLatency::Add(std::size_t size, Clock::time_point ready) {
    if (size == 0) {
        return;
    }
    held_ += size;
    switch (model_.kind) {
        case LinkModel::Kind::UsbFullSpeed:
            departures_.push_back({size, FrameFrom(ready) + kHostDelay});
            return;
        case LinkModel::Kind::Ftdi: {
            ExpireTimer(ready);
            buffered_ += size;
            const std::size_t full = buffered_ - buffered_ % kFtdiPayload;
            if (full > 0) {
                SendOn(full, FrameFrom(ready));
            }
            if (buffered_ > 0 && TimerEnd() <= ready) {
                SendOn(buffered_, FrameFrom(ready));
            }
            return;
        }
        case LinkModel::Kind::Bluetooth: {
            // The modulus of the generator's own output, unlike a distribution, gives the same
            // waits under every standard library; 4 divides its range, so each is as likely.
            const auto intervals = 1 + random_() % kBluetoothMostIntervals;
            latest_ = std::max(
                latest_, ready + kBluetoothBase + static_cast<int>(intervals) * kBluetoothInterval);
            departures_.push_back({size, latest_});
            return;
        }
    }
}

std::size_t LinkLatency::Release(Clock::time_point now) {
    ExpireTimer(now);
    std::size_t released = 0;
    while (!departures_.empty() && departures_.front().at <= now) {
        released += departures_.front().size;
        departures_.pop_front();
    }
    held_ -= released;
    return released;
}

std::optional<LinkLatency::Clock::time_point> LinkLatency::NextRelease() const {
    if (!departures_.empty()) {
        return departures_.front().at;
    }
    if (buffered_ > 0) {
        return FrameFrom(TimerEnd()) + kHostDelay;
    }
    return std::nullopt;
}

LinkLatency::Clock::time_point LinkLatency::FrameFrom(Clock::time_point when) const {
    return start_ + std::chrono::ceil<std::chrono::milliseconds>(when - start_);
}

void LinkLatency::SendOn(std::size_t size, Clock::time_point frame) {
    departures_.push_back({size, frame + kHostDelay});
    buffered_ -= size;
    last_sent_ = frame;
}

void LinkLatency::ExpireTimer(Clock::time_point now) {
    if (buffered_ > 0 && TimerEnd() <= now) {
        SendOn(buffered_, FrameFrom(TimerEnd()));
    }
}
