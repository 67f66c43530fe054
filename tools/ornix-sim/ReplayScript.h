#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Recording.h"

// A recording as a replay plays it, read from the file as the replay goes: the host frames to
// match one after the other, and the device frames in order, each with the number of host
// frames recorded before it and its delay since the last of them. Two readers go through the
// file side by side, each holding the one frame it has next, so that memory does not grow with
// the recording however far apart the two sides' frames lie.
class ReplayScript {
public:
    using Clock = std::chrono::steady_clock;

    struct DeviceFrame {
        std::size_t after;
        Clock::duration delay;
        std::vector<std::uint8_t> bytes;
    };

    // Reads the whole recording once before anything is served, so that a file that breaks the
    // rules is refused as a whole (RecordingError); a last line left cut short is reported on
    // standard error.
    explicit ReplayScript(const std::string& path);

    // Nothing after the recording's last; each Take moves on to the frame after it, and throws
    // RecordingError should the file have changed since it was read.
    const std::vector<std::uint8_t>* NextHost() const {
        return next_host_ ? &*next_host_ : nullptr;
    }
    void TakeHost();
    const DeviceFrame* NextDevice() const { return next_device_ ? &*next_device_ : nullptr; }
    void TakeDevice();

private:
    // Follows the host frames it passes, so that each device frame knows its place.
    struct DeviceReader {
        explicit DeviceReader(const std::string& path) : reader(path) {}
        std::optional<DeviceFrame> Next(const std::string& path);

        RecordingReader reader;
        std::size_t hosts = 0;
        double host_t = 0;
    };

    std::string path_;
    RecordingReader host_reader_;
    DeviceReader device_reader_;
    std::optional<std::vector<std::uint8_t>> next_host_;
    std::optional<DeviceFrame> next_device_;
};

// `seconds` as a duration of `Clock`; nothing when it is negative or too long to be added to
// any time the clock shows.
std::optional<ReplayScript::Clock::duration> ClockDuration(double seconds);
