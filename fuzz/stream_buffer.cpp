// Fuzzes the serial port's read paths on a simulated line: the input is a program of operations
// (the device sending bytes now or later, stream-buffer reads, put-backs, timed port reads, waits
// for input, discarding), so that the held byte, short reads, late bytes and budgets meet in
// every order.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "SimulatedLine.h"
#include "serialib.h"

using Ornix::Fuzzing::Decisions;
using Ornix::Fuzzing::SimulatedLine;
using Ornix::HardwareAPI::IO::serialib;

namespace {

// Every reading of the clock is 100 ms later than the one before: a 1000 ms budget ends after a
// few polls.
constexpr uint64_t kReadingStepUs = 100000;
// A late byte comes this long times a byte of the input after it is sent.
constexpr uint64_t kDelayUnitUs = 10000;

// One port on one line for the whole run; each input starts with nothing on the line.
struct Port {
    Port() {
        if (port.open_port(line.Path(), 115200, 3, 0, 0) != serialib::kOpened) {
            std::abort();
        }
    }

    void Restart() {
        line.Restart(nullptr);
        while (port.sbumpc() != std::char_traits<char>::eof()) {
        }
    }

    SimulatedLine line{kReadingStepUs};
    serialib port{&SimulatedLine::Clock};
};

void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Port line;
    line.Restart();
    serialib& port = line.port;
    Decisions program(data, size);
    for (int step = 0; step < 32 && !program.Done(); ++step) {
        const uint8_t operation = program.Next();
        const size_t count = program.Next() % 40;
        switch (operation % 13) {
            case 0:
            case 10: {
                const uint64_t delay_us = operation % 13 == 0 ? 0 : program.Next() * kDelayUnitUs;
                std::vector<uint8_t> bytes;
                for (size_t i = 0; i < count; ++i) {
                    bytes.push_back(program.Next());
                }
                line.line.Send(bytes.data(), bytes.size(), delay_us);
                break;
            }
            case 1:
                port.sgetc();
                break;
            case 2:
                port.sbumpc();
                break;
            case 3: {
                // Exactly `count` bytes of room: storing one more is a report.
                std::vector<char> buffer(count);
                Require(port.sgetn(buffer.data(), static_cast<std::streamsize>(count)) <=
                        static_cast<std::streamsize>(count));
                break;
            }
            case 4:
                port.in_avail();
                break;
            case 5:
                port.sputbackc(static_cast<char>(count));
                break;
            case 6:
                port.sungetc();
                break;
            case 7: {
                char byte;
                port.receive_byte(&byte, 200);
                break;
            }
            case 8: {
                std::vector<char> buffer(count + 1);
                Require(port.receive_until(buffer.data(), static_cast<char>(count), count, 300) <=
                        static_cast<int>(count));
                break;
            }
            case 9: {
                std::vector<char> buffer(count);
                Require(port.receive_bytes(buffer.data(), count, 300, 100) <=
                        static_cast<int>(count));
                break;
            }
            case 11: {
                // The wait must not outlast its limit, nor tell of bytes that are not there.
                const uint32_t limit_us = program.Next() * kDelayUnitUs;
                const uint64_t began = line.line.NowUs();
                const int result = port.wait_for_input(count, limit_us);
                Require(line.line.NowUs() - began <= limit_us);
                Require(result == serialib::kInputWaiting
                            ? port.pending_bytes() >= static_cast<int>(count)
                            : result == serialib::kInputNotYet);
                break;
            }
            default:
                port.discard_input();
                Require(port.pending_bytes() == 0);
                break;
        }
    }
    return 0;
}
