// Fuzzes the serial port's read paths on a real pseudo-terminal: the input is a program of
// operations (the device sending bytes, stream-buffer reads, put-backs, timed port reads), so
// that the held byte, short reads and budgets meet in every order.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "serialib.h"

using Ornix::HardwareAPI::IO::serialib;

namespace {

// Every reading is 100 ms later than the one before: a 1000 ms budget ends after a few polls.
timeval FastClock() {
    static long long milliseconds = 0;
    milliseconds += 100;
    return {static_cast<time_t>(milliseconds / 1000),
            static_cast<suseconds_t>(milliseconds % 1000 * 1000)};
}

// One pseudo-terminal for the whole run; each input starts on an empty line.
struct Line {
    Line() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        fcntl(master, F_SETFL, O_NONBLOCK);
        if (port.open_port(path.c_str(), 115200, 3, 0, 0) != 1) {
            std::abort();
        }
    }

    void Drain() {
        uint8_t sink[256];
        while (read(master, sink, sizeof sink) > 0) {
        }
        port.discard_input();
        while (port.sbumpc() != std::char_traits<char>::eof()) {
        }
    }

    int master;
    std::string path;
    serialib port{&FastClock};
};

// The input read a byte at a time; 0 once it is used up.
class Program {
public:
    Program(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool Done() const { return at >= size; }
    uint8_t Next() { return at < size ? data[at++] : 0; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Line line;
    line.Drain();
    serialib& port = line.port;
    Program program(data, size);
    for (int step = 0; step < 32 && !program.Done(); ++step) {
        const uint8_t operation = program.Next();
        const size_t count = program.Next() % 40;
        switch (operation % 10) {
            case 0: {
                std::vector<uint8_t> bytes;
                for (size_t i = 0; i < count; ++i) {
                    bytes.push_back(program.Next());
                }
                if (!bytes.empty() && write(line.master, bytes.data(), bytes.size()) < 0) {
                    std::abort();
                }
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
                if (port.sgetn(buffer.data(), static_cast<std::streamsize>(count)) >
                    static_cast<std::streamsize>(count)) {
                    std::abort();
                }
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
                const int result =
                    port.receive_until(buffer.data(), static_cast<char>(count), count, 300);
                if (result > static_cast<int>(count)) {
                    std::abort();
                }
                break;
            }
            default: {
                std::vector<char> buffer(count);
                if (port.receive_bytes(buffer.data(), count, 300, 100) > static_cast<int>(count)) {
                    std::abort();
                }
                break;
            }
        }
    }
    return 0;
}
