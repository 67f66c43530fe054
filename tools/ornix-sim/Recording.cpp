#include "Recording.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "JsonText.h"

namespace {

constexpr int kFormatVersion = 1;
constexpr std::size_t kBufferSize = 1 << 16;

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const auto since_epoch = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(since_epoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, ".%06lldZ", static_cast<long long>(micros));
    return text;
}

[[noreturn]] void Fail(const std::string& path, std::size_t line, const std::string& why) {
    throw RecordingError("cannot replay " + path + ": line " + std::to_string(line) + ": " + why);
}

}  // namespace

RecordingWriter::RecordingWriter(const std::string& path, const std::string& port,
                                 Clock::time_point start)
    : path_(path), buffer_(kBufferSize), start_(start) {
    file_ = std::fopen(path.c_str(), "wx");
    if (file_ == nullptr) {
        throw RecordingError("cannot create recording " + path + ": " + std::strerror(errno));
    }
    std::setvbuf(file_, buffer_.data(), _IOFBF, buffer_.size());
    Line(JsonObject()
             .Integer("recording", kFormatVersion)
             .Text("port", port)
             .Text("started", IsoTime(std::chrono::system_clock::now()))
             .Finish());
}

RecordingWriter::~RecordingWriter() { std::fclose(file_); }

double RecordingWriter::Seconds(Clock::time_point when) const {
    return std::chrono::duration<double>(when - start_).count();
}

void RecordingWriter::Write(const WireFrame& frame) {
    JsonObject line;
    line.Seconds("t", Seconds(frame.time))
        .Text("from", frame.from == Direction::FromHost ? "host" : "device")
        .Hex("hex", frame.bytes.data(), frame.bytes.size());
    if (frame.name.empty()) {
        line.Null("frame").Text("error", frame.error);
    } else {
        line.Text("frame", frame.name).Raw("fields", frame.fields);
    }
    Line(line.Finish());
}

void RecordingWriter::WriteKind(DeviceKind kind, Clock::time_point when) {
    Line(JsonObject()
             .Seconds("t", Seconds(when))
             .Text("device", kind == DeviceKind::Arm ? "arm" : "handle")
             .Finish());
}

void RecordingWriter::Flush() {
    if (std::fflush(file_) != 0) {
        std::fprintf(stderr, "ornix-sim: proxy: cannot write recording %s: %s\n", path_.c_str(),
                     std::strerror(errno));
    }
}

void RecordingWriter::Line(const std::string& text) {
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
}

std::vector<RecordedFrame> ReadRecording(const std::string& path) {
    std::ifstream input(path);
    if (!input) {
        throw RecordingError("cannot replay " + path + ": " + std::strerror(errno));
    }
    std::vector<RecordedFrame> frames;
    std::string text;
    std::size_t number = 0;
    bool header = false;
    while (std::getline(input, text)) {
        ++number;
        if (text.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        JsonValue line;
        try {
            line = JsonValue::Parse(text);
        } catch (const JsonError& error) {
            Fail(path, number, error.what());
        }
        if (line.type != JsonValue::Type::Object) {
            Fail(path, number, "not a JSON object");
        }
        if (!header) {
            const JsonValue* version = line.Find("recording");
            if (version == nullptr || version->type != JsonValue::Type::Number) {
                Fail(path, number, "no recording header");
            }
            if (version->number != kFormatVersion) {
                Fail(path, number, "a recording of an unknown version");
            }
            header = true;
            continue;
        }
        const JsonValue* from = line.Find("from");
        if (from == nullptr) {
            // Other lines, such as the device found, describe the frames.
            continue;
        }
        const JsonValue* t = line.Find("t");
        const JsonValue* hex = line.Find("hex");
        RecordedFrame frame{0, Direction::FromHost, {}};
        if (t == nullptr || t->type != JsonValue::Type::Number || t->number < 0) {
            Fail(path, number, "\"t\" must be a time in seconds");
        }
        frame.t = t->number;
        if (from->type != JsonValue::Type::String ||
            (from->text != "host" && from->text != "device")) {
            Fail(path, number, "\"from\" must be \"host\" or \"device\"");
        }
        frame.from = from->text == "host" ? Direction::FromHost : Direction::FromDevice;
        if (hex == nullptr || hex->type != JsonValue::Type::String ||
            !ParseHex(hex->text, frame.bytes) || frame.bytes.empty()) {
            Fail(path, number, "\"hex\" must be bytes in hex digits");
        }
        frames.push_back(std::move(frame));
    }
    if (!header) {
        Fail(path, number, "no recording header");
    }
    return frames;
}
