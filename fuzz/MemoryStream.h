// A SerialStream over bytes in memory, for fuzzing the device classes without a port: reads are
// served from the fuzz input, Available() counts what is left, writes are dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <streambuf>

#include "SerialStream.h"

namespace Ornix::Fuzzing {

class MemoryStream : public HardwareAPI::IO::SerialStream {
public:
    MemoryStream(const uint8_t* data, size_t size)
        : SerialStream(nullptr, false), buffer(data, size) {
        rdbuf(&buffer);
    }

    int Available() const override { return static_cast<int>(buffer.Left()); }
    void Write(const void*, size_t) override {}
    void Close() override {}
    // Nothing more will come: a wait ends at once.
    InputWait WaitForInput(size_t count, std::chrono::microseconds) override {
        return buffer.Left() >= count ? InputWait::Waiting : InputWait::NotYet;
    }

private:
    class Buffer : public std::streambuf {
    public:
        Buffer(const uint8_t* data, size_t size) {
            char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
            setg(begin, begin, begin + size);
        }
        size_t Left() const { return static_cast<size_t>(egptr() - gptr()); }
    };

    Buffer buffer;
};

// A device clock that races ahead, an hour at each reading, so that every wait for bytes that will
// never come ends at its first look. Each input restarts it: an input sees the same times whatever
// ran before, and a long run never overflows it.
class RacingClock {
public:
    static void Restart() { now = std::chrono::microseconds::zero(); }
    static std::chrono::microseconds Read() { return now += std::chrono::hours(1); }

private:
    static inline std::chrono::microseconds now{};
};

}  // namespace Ornix::Fuzzing
