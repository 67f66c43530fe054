#include "SerialStream.h"

#include <algorithm>
#include <cerrno>
#include <climits>

#include "Diagnostics.h"

namespace Ornix::HardwareAPI::IO {

namespace {

// Each error line names its place: this file, as the project knows it, and a fixed line number.
constexpr const char* kSourceFile = "Library/src/SerialStream.cpp";
constexpr unsigned kOpenStreamLine = 17;
constexpr unsigned kOpenPortLine = 38;
constexpr unsigned kWriteLine = 52;

constexpr uint32_t kBaudRate = 115200;
constexpr uint32_t kEightDataBits = 3;
constexpr uint32_t kNoParity = 0;
constexpr uint32_t kOneStopBit = 0;

}  // namespace

SerialStream::SerialStream(const char* port_name, bool open_at_once)
    : std::iostream(nullptr),
      port_name(port_name != nullptr ? std::optional<std::string>(port_name) : std::nullopt) {
    if (open_at_once && Open() < 0) {
        Diagnostics::Report(kSourceFile, kOpenStreamLine, "unable to open stream '%s'",
                            shown_name());
    }
}

SerialStream::~SerialStream() {
    if (port) {
        port->close_port();
    }
}

int8_t SerialStream::Open() {
    int8_t result = -1;
    try {
        auto fresh = std::make_unique<serialib>();
        rdbuf(fresh.get());  // also resets the stream state to good
        port = std::move(fresh);
        result = port->open_port(port_name ? port_name->c_str() : nullptr, kBaudRate,
                                 kEightDataBits, kNoParity, kOneStopBit);
        if (result == serialib::kOpened) {
            port->set_dtr(true);
        }
    } catch (...) {
        result = -1;
    }
    if (result < 0) {
        // The report keeps errno, so that a caller's own report names the same cause.
        Diagnostics::Report(kSourceFile, kOpenPortLine, "unable to open port '%s'", shown_name());
    }
    return result;
}

void SerialStream::Close() {
    if (port) {
        port->close_port();
    }
}

int SerialStream::Available() const { return port ? port->pending_bytes() : 0; }

void SerialStream::Write(const void* data, size_t length) {
    write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
    if (good() || eof()) {
        return;
    }
    Diagnostics::Report(kSourceFile, kWriteLine, "unable to write '%zu' bytes to stream", length);
}

namespace {

uint32_t Microseconds(std::chrono::microseconds limit) {
    return static_cast<uint32_t>(
        std::clamp<std::chrono::microseconds::rep>(limit.count(), 0, INT_MAX));
}

SerialStream::InputWait Outcome(int result) {
    switch (result) {
        case serialib::kInputWaiting:
            return SerialStream::InputWait::Waiting;
        case serialib::kWaitInterrupted:
            return SerialStream::InputWait::Interrupted;
        case serialib::kLineGone:
            return SerialStream::InputWait::Gone;
        default:
            return SerialStream::InputWait::NotYet;
    }
}

}  // namespace

SerialStream::InputWait SerialStream::WaitForInput(size_t count, std::chrono::microseconds limit) {
    if (!port) {
        return Pause(limit);
    }
    return Outcome(port->wait_for_input(static_cast<uint32_t>(std::min<size_t>(count, INT_MAX)),
                                        Microseconds(limit)));
}

SerialStream::InputWait SerialStream::Pause(std::chrono::microseconds limit) {
    return Outcome(serialib::idle(Microseconds(limit)));
}

bool SerialStream::Claim(const void* claimant) {
    const void* free = nullptr;
    return owner.compare_exchange_strong(free, claimant) || free == claimant;
}

void SerialStream::Release(const void* claimant) {
    const void* expected = claimant;
    owner.compare_exchange_strong(expected, nullptr);
}

const char* SerialStream::shown_name() const { return port_name ? port_name->c_str() : "(null)"; }

}  // namespace Ornix::HardwareAPI::IO
