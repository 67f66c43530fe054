#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "WireDecoder.h"

// A recording that cannot be read or written; its text says which and why.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes a recording (see RECORDING.md): a header line, then one JSON object per frame. Lines
// go through a large buffer, so that recording costs the forwarding no system call per frame;
// the buffer is flushed when full and when the writer closes.
class RecordingWriter {
public:
    using Clock = std::chrono::steady_clock;

    // Refuses to replace an existing file, which may be the only copy of a field problem.
    RecordingWriter(const std::string& path, const std::string& port, Clock::time_point start);
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;
    ~RecordingWriter();

    void Write(const WireFrame& frame);
    void WriteKind(DeviceKind kind, Clock::time_point when);
    void Flush();

private:
    void Line(const std::string& text);
    double Seconds(Clock::time_point when) const;

    std::string path_;
    std::FILE* file_ = nullptr;
    std::vector<char> buffer_;
    Clock::time_point start_;
};

// One frame of a recording read back.
struct RecordedFrame {
    double t;
    Direction from;
    std::vector<std::uint8_t> bytes;
};

// The frames of a recording in the order they were written, which is the order they happened.
std::vector<RecordedFrame> ReadRecording(const std::string& path);
