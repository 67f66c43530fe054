#include "ReplayScript.h"

#include <algorithm>
#include <cstdio>

ReplayScript::ReplayScript(const std::string& path)
    : path_(path), host_reader_(path), device_reader_(path) {
    DeviceReader check(path);
    while (check.Next(path)) {
    }
    if (check.reader.CutShort()) {
        std::fprintf(stderr, "ornix-sim: replay: %s: %s; the lines before it are replayed\n",
                     path.c_str(), check.reader.CutShort()->c_str());
    }
    TakeHost();
    TakeDevice();
}

void ReplayScript::TakeHost() {
    next_host_.reset();
    while (std::optional<RecordedFrame> frame = host_reader_.Next()) {
        if (frame->from == Direction::FromHost) {
            next_host_ = std::move(frame->bytes);
            return;
        }
    }
}

void ReplayScript::TakeDevice() { next_device_ = device_reader_.Next(path_); }

std::optional<ReplayScript::DeviceFrame> ReplayScript::DeviceReader::Next(const std::string& path) {
    while (std::optional<RecordedFrame> frame = reader.Next()) {
        if (frame->from == Direction::FromHost) {
            ++hosts;
            host_t = frame->t;
            continue;
        }
        // A frame recorded before its host frame's time, which a clock step could cause, is
        // due at once.
        const std::optional<Clock::duration> delay =
            ClockDuration(std::max(frame->t - host_t, 0.0));
        if (!delay) {
            throw RecordingError("cannot replay " + path + ": line " + std::to_string(frame->line) +
                                 ": a delay longer than this system's clock can wait");
        }
        return DeviceFrame{hosts, *delay, std::move(frame->bytes)};
    }
    return std::nullopt;
}

std::optional<ReplayScript::Clock::duration> ClockDuration(double seconds) {
    using Seconds = std::chrono::duration<double>;
    // Half the clock's range, so that the sum with the time it counts from cannot overflow
    // either.
    const double longest =
        std::chrono::duration_cast<Seconds>(ReplayScript::Clock::duration::max()).count() / 2;
    if (!(seconds >= 0 && seconds <= longest)) {
        return std::nullopt;
    }
    return std::chrono::duration_cast<ReplayScript::Clock::duration>(Seconds(seconds));
}
