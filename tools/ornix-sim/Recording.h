#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceKind.h"
#include "FileDescriptor.h"
#include "WireDecoder.h"

// A recording that cannot be read or written; its text says which and why.
class RecordingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes a recording (see RECORDING.md): a header line, then one JSON object per frame. The
// lines of one turn of the proxy's loop are gathered and written through in one system call,
// so that a proxy that is killed loses at most the lines in flight; a write that fails takes
// back what it wrote of a line cut short, so that the file always ends with a whole line.
class RecordingWriter {
public:
    using Clock = std::chrono::steady_clock;

    // Refuses to replace an existing file, which may be the only copy of a field problem.
    RecordingWriter(const std::string& path, const std::string& port, Clock::time_point start);

    void Add(const WireFrame& frame);
    void AddKind(DeviceKind kind, Clock::time_point when);
    // Writes the lines added since the last call; false when the file cannot take them, with
    // errno set.
    bool WriteAdded();

    const std::string& Path() const { return path_; }

private:
    void Line(const std::string& text);
    double Seconds(Clock::time_point when) const;

    std::string path_;
    FileDescriptor file_;
    std::string added_;
    // The size of the file's whole lines.
    off_t size_ = 0;
    Clock::time_point start_;
};

// One frame of a recording read back.
struct RecordedFrame {
    double t;
    Direction from;
    std::vector<std::uint8_t> bytes;
    // The line it was read from, counting from 1.
    std::size_t line;
};

// Reads a recording one line at a time, by the rules that RECORDING.md gives for every reader
// ("Reading a recording"), so that a file of any length costs the memory of one line. Every
// line that breaks them is refused with a RecordingError naming the file and the line, except
// a last line without its newline, which a proxy stopped mid-write leaves: it ends the frames
// and is told by CutShort().
class RecordingReader {
public:
    explicit RecordingReader(const std::string& path);

    // The next frame; nothing after the last.
    std::optional<RecordedFrame> Next();
    // Once Next() has found the end: why the unfinished last line could not be read, if one
    // was left.
    const std::optional<std::string>& CutShort() const { return cut_short_; }

private:
    [[noreturn]] void Fail(std::size_t line, const std::string& why) const;
    // The frame on the current line, nothing for a line that holds none; throws the line's
    // reason for a line that breaks the rules.
    std::optional<RecordedFrame> ReadLine();

    std::string path_;
    std::ifstream input_;
    std::string text_;
    std::size_t line_ = 0;
    bool header_ = false;
    std::optional<std::string> cut_short_;
};
