#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>

// A link between a device and its host, as ornix-sim models the delay it adds to what the
// device sends.
struct LinkModel {
    enum class Kind { UsbFullSpeed, Ftdi, Bluetooth };

    Kind kind = Kind::UsbFullSpeed;
    // Ftdi only: the adapter's latency timer.
    std::chrono::milliseconds latency_timer{16};
    // Bluetooth only: the random waits follow from it, so that a run can be repeated.
    std::uint32_t seed = 1;
};

// Says when the bytes a device sends reach its host through a modelled link: a message is added
// when the device has it ready, and the link hands bytes on, oldest first and never before
// their time. The clock is the caller's, so that the models run on any time line:
// - USB full speed: the host polls the device once per 1 ms frame, on a grid fixed at `start`;
//   a message leaves on the first frame from when it is ready, and the host's driver passes it
//   on kHostDelay later.
// - FTDI: the adapter holds bytes until its latency timer has run since it last sent bytes on,
//   or until they fill a USB packet; what it sends leaves on the next frame, as above.
// - Bluetooth: each message waits a random number of connection intervals, and never
//   overtakes the one before.
class LinkLatency {
public:
    using Clock = std::chrono::steady_clock;

    // The host's driver's share of the delay, after the frame that carried the bytes.
    static constexpr std::chrono::microseconds kHostDelay{50};
    // The payload of one of an FTDI adapter's 64-byte packets, two of which are its status.
    static constexpr std::size_t kFtdiPayload = 62;
    static constexpr std::chrono::microseconds kBluetoothBase{2500};
    static constexpr std::chrono::microseconds kBluetoothInterval{7500};
    static constexpr unsigned kBluetoothMostIntervals = 4;

    LinkLatency(const LinkModel& model, Clock::time_point start);

    // A message of `size` bytes, ready to leave the device at `ready`, no earlier than the
    // message added before it.
    void Add(std::size_t size, Clock::time_point ready);
    // How many of the bytes held, oldest first, reach the host by `now`; they are held no more.
    std::size_t Release(Clock::time_point now);
    // When the next bytes held reach the host; nothing while none are held.
    std::optional<Clock::time_point> NextRelease() const;
    std::size_t Held() const { return held_; }

private:
    struct Departure {
        std::size_t size;
        Clock::time_point at;
    };

    // The first 1 ms frame that begins at or after `when`.
    Clock::time_point FrameFrom(Clock::time_point when) const;
    // The FTDI adapter sends what it has buffered on the frame `frame`.
    void SendOn(std::size_t size, Clock::time_point frame);
    // Sends the FTDI adapter's buffer once its latency timer has run by `now`.
    void ExpireTimer(Clock::time_point now);
    Clock::time_point TimerEnd() const { return last_sent_ + model_.latency_timer; }

    LinkModel model_;
    Clock::time_point start_;
    std::deque<Departure> departures_;
    std::size_t held_ = 0;
    // FTDI: the bytes in the adapter's buffer, not sent yet, and the frame it last sent on.
    std::size_t buffered_ = 0;
    Clock::time_point last_sent_;
    // Bluetooth: when the last message reaches the host, which no later one may precede.
    Clock::time_point latest_;
    std::mt19937 random_;
};
