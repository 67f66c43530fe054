#include "Recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "JsonText.h"

namespace {

constexpr int kFormatVersion = 1;
// A frame's time in seconds: more than thirty years of recording.
constexpr double kLatestTime = 1e9;

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

// Why one line of a recording cannot be read.
class LineRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Strict UTF-8, as a decoder that refuses errors reads it: no overlong forms, no surrogates,
// nothing beyond U+10FFFF. The result is where the first error starts, or the text's size.
std::size_t Utf8Valid(const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return at;
        }
        if (at + length > text.size()) {
            return at;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
                return at;
            }
        }
        at += length;
    }
    return at;
}

std::string NumberText(double number) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, number);
    return std::string(text, result.ptr);
}

bool IsTextOrNull(const JsonValue* value) {
    return value == nullptr || value->type == JsonValue::Type::String ||
           value->type == JsonValue::Type::Null;
}

}  // namespace

RecordingWriter::RecordingWriter(const std::string& path, const std::string& port,
                                 Clock::time_point start)
    : path_(path),
      file_(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)),
      start_(start) {
    if (!file_.IsOpen()) {
        throw RecordingError("cannot create recording " + path + ": " + std::strerror(errno));
    }
    Line(JsonObject()
             .Integer("recording", kFormatVersion)
             .Text("port", port)
             .Text("started", IsoTime(std::chrono::system_clock::now()))
             .Finish());
    if (!WriteAdded()) {
        throw RecordingError("cannot write recording " + path + ": " + std::strerror(errno));
    }
}

double RecordingWriter::Seconds(Clock::time_point when) const {
    return std::chrono::duration<double>(when - start_).count();
}

void RecordingWriter::Add(const WireFrame& frame) {
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

void RecordingWriter::AddKind(DeviceKind kind, Clock::time_point when) {
    Line(JsonObject()
             .Seconds("t", Seconds(when))
             .Text("device", kind == DeviceKind::Arm ? "arm" : "handle")
             .Finish());
}

bool RecordingWriter::WriteAdded() {
    std::size_t done = 0;
    while (done < added_.size()) {
        const ssize_t count = ::write(file_.Get(), added_.data() + done, added_.size() - done);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        const int failure = count < 0 ? errno : ENOSPC;
        // What went in of a line cut short is taken back: the file keeps only whole lines.
        const std::size_t newline = done == 0 ? std::string::npos : added_.rfind('\n', done - 1);
        const std::size_t whole = newline == std::string::npos ? 0 : newline + 1;
        size_ += static_cast<off_t>(whole);
        if (whole < done) {
            (void)::ftruncate(file_.Get(), size_);
        }
        added_.clear();
        errno = failure;
        return false;
    }
    size_ += static_cast<off_t>(done);
    added_.clear();
    return true;
}

void RecordingWriter::Line(const std::string& text) {
    added_ += text;
    added_ += '\n';
}

RecordingReader::RecordingReader(const std::string& path)
    : path_(path), input_(path, std::ios::binary) {
    if (!input_) {
        throw RecordingError("cannot replay " + path + ": " + std::strerror(errno));
    }
}

void RecordingReader::Fail(std::size_t line, const std::string& why) const {
    throw RecordingError("cannot replay " + path_ + ": line " + std::to_string(line) + ": " + why);
}

std::optional<RecordedFrame> RecordingReader::Next() {
    while (std::getline(input_, text_)) {
        ++line_;
        const bool ended = !input_.eof();
        try {
            std::optional<RecordedFrame> frame = ReadLine();
            if (frame) {
                return frame;
            }
        } catch (const LineRefused& refused) {
            if (ended) {
                Fail(line_, refused.what());
            }
            cut_short_ = "line " + std::to_string(line_) + " has no newline and cannot be read (" +
                         refused.what() + ")";
            break;
        }
    }
    if (input_.bad()) {
        throw RecordingError("cannot replay " + path_ + ": " + std::strerror(errno));
    }
    if (!header_) {
        Fail(std::max<std::size_t>(line_, 1), "no recording header");
    }
    return std::nullopt;
}

std::optional<RecordedFrame> RecordingReader::ReadLine() {
    if (text_.find_first_not_of(" \t\r") == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t invalid = Utf8Valid(text_);
    if (invalid < text_.size()) {
        throw LineRefused("not UTF-8 text, from byte " + std::to_string(invalid + 1));
    }
    JsonValue line;
    try {
        line = JsonValue::Parse(text_);
    } catch (const JsonError& error) {
        throw LineRefused(error.what());
    }
    if (line.type != JsonValue::Type::Object) {
        throw LineRefused("not a JSON object");
    }
    if (!header_) {
        const JsonValue* version = line.Find("recording");
        if (version == nullptr || version->type != JsonValue::Type::Number) {
            throw LineRefused("no recording header");
        }
        if (version->number != kFormatVersion) {
            throw LineRefused("a recording of version " + NumberText(version->number) +
                              ", which this replay cannot read");
        }
        header_ = true;
        return std::nullopt;
    }
    const JsonValue* from = line.Find("from");
    if (from == nullptr) {
        // Other lines, such as the device found, describe the frames.
        return std::nullopt;
    }
    RecordedFrame frame{0, Direction::FromHost, {}, line_};
    const JsonValue* t = line.Find("t");
    if (t == nullptr || t->type != JsonValue::Type::Number || !(t->number >= 0) ||
        t->number > kLatestTime) {
        throw LineRefused("\"t\" must be a number of seconds from 0 to 1000000000");
    }
    frame.t = t->number;
    if (from->type != JsonValue::Type::String || (from->text != "host" && from->text != "device")) {
        throw LineRefused("\"from\" must be \"host\" or \"device\"");
    }
    frame.from = from->text == "host" ? Direction::FromHost : Direction::FromDevice;
    const JsonValue* hex = line.Find("hex");
    if (hex == nullptr || hex->type != JsonValue::Type::String ||
        !ParseHex(hex->text, frame.bytes) || frame.bytes.empty()) {
        throw LineRefused("\"hex\" must be bytes in hex digits");
    }
    if (!IsTextOrNull(line.Find("frame"))) {
        throw LineRefused("\"frame\" must be a string or null");
    }
    const JsonValue* fields = line.Find("fields");
    if (fields != nullptr && fields->type != JsonValue::Type::Object) {
        throw LineRefused("\"fields\" must be an object");
    }
    if (!IsTextOrNull(line.Find("error"))) {
        throw LineRefused("\"error\" must be a string or null");
    }
    return frame;
}
