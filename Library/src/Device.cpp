#include "Device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "LittleEndian.h"

namespace Ornix::HardwareAPI::Devices {

namespace {

// Each error line names its place: this file, as the project knows it, and a fixed line number.
constexpr const char* kSourceFile = "Library/src/Device.cpp";
constexpr unsigned kHeaderTimeoutLine = 57;
constexpr unsigned kHeaderReadLine = 74;
constexpr unsigned kPayloadTimeoutLine = 86;
constexpr unsigned kPayloadReadLine = 96;

constexpr int kMaxFloatsPerFrame = 255;
// A port this long without a new byte has nothing more of a stray response to deliver.
constexpr std::chrono::milliseconds kQuietInterval(5);

}  // namespace

Device::Device(IO::SerialStream* stream, float timeout, Clock clock)
    : timeout(timeout), stream(stream), clock(clock) {}

std::time_t Device::SystemTime() { return std::time(nullptr); }

void Device::WriteFrame(size_t length) {
    if (length > kBufferSize) {
        return;
    }
    stream->Write(send_buffer.data(), length);
}

void Device::WriteFloatFrame(uint8_t header_code, const float* values, const int& count) {
    if (count < 0 || count > kMaxFloatsPerFrame) {
        return;
    }
    send_buffer[0] = header_code;
    for (int i = 0; i < count; ++i) {
        LittleEndian::WriteFloat(&send_buffer[1 + 4 * i], values[i]);
    }
    WriteFrame(4 * static_cast<size_t>(count) + 1);
}

int Device::Available() const { return stream->Available(); }

bool Device::TimedOut(std::time_t start) const {
    return timeout > 0 && std::difftime(clock(), start) > static_cast<double>(timeout);
}

uint8_t Device::ReadHeaderCode() {
    const std::time_t start = clock();
    while (Available() <= 0) {
        if (TimedOut(start)) {
            std::fprintf(stderr, "[err] %s:%u> timeout waiting for header code: [%d] %s\n",
                         kSourceFile, kHeaderTimeoutLine, errno, std::strerror(errno));
            std::fflush(stderr);
            return 0;
        }
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.data()), 1);
    if (stream->good()) {
        return receive_buffer[0];
    }
    if (!stream->eof()) {
        std::fprintf(stderr, "[err] %s:%u> unable to read header code from stream: [%d] %s\n",
                     kSourceFile, kHeaderReadLine, errno, std::strerror(errno));
        std::fflush(stderr);
    }
    return 0;
}

int Device::ReadPayload(size_t length) {
    if (length == 0 || length > kBufferSize) {
        return 0;
    }
    const std::time_t start = clock();
    while (static_cast<size_t>(std::max(Available(), 0)) < length) {
        if (TimedOut(start)) {
            std::fprintf(stderr, "[err] %s:%u> timeout waiting for payload: [%d] %s\n", kSourceFile,
                         kPayloadTimeoutLine, errno, std::strerror(errno));
            std::fflush(stderr);
            return 0;
        }
    }
    stream->read(reinterpret_cast<char*>(receive_buffer.data()),
                 static_cast<std::streamsize>(length));
    if (stream->good()) {
        return static_cast<int>(stream->gcount());
    }
    if (!stream->eof()) {
        std::fprintf(stderr, "[err] %s:%u> unable to read '%zu' bytes from stream: [%d] %s\n",
                     kSourceFile, kPayloadReadLine, length, errno, std::strerror(errno));
        std::fflush(stderr);
    }
    return 0;
}

void Device::Resynchronise() {
    using SteadyClock = std::chrono::steady_clock;
    const auto start = SteadyClock::now();
    const auto limit = std::chrono::duration<float>(timeout);
    auto last_byte = start;
    for (;;) {
        const auto now = SteadyClock::now();
        const int waiting = Available();
        if (waiting > 0) {
            if (!stream->good()) {
                return;  // nothing more can be read from it
            }
            const size_t chunk = std::min(static_cast<size_t>(waiting), kBufferSize);
            stream->read(reinterpret_cast<char*>(receive_buffer.data()),
                         static_cast<std::streamsize>(chunk));
            last_byte = now;
        } else if (now - last_byte >= kQuietInterval) {
            return;
        }
        if (timeout > 0 && now - start >= limit) {
            return;
        }
    }
}

}  // namespace Ornix::HardwareAPI::Devices
