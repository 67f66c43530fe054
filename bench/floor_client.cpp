// The floor of the exchange benchmark: the least a client can do for one end-effector force
// exchange. It writes the 13-byte request, polls the driver's byte count until the 25-byte reply
// is there and reads it, then prints the time of every exchange in nanoseconds, one per line.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint8_t kEndEffectorForce = 0x2A;
constexpr uint8_t kEndEffectorState = 0x2B;
constexpr size_t kRequestLength = 13;
constexpr size_t kReplyLength = 25;

int OpenRaw(const char* path) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    termios settings{};
    tcgetattr(fd, &settings);
    cfmakeraw(&settings);
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

bool Exchange(int fd, const uint8_t* request, uint8_t* reply) {
    if (write(fd, request, kRequestLength) != static_cast<ssize_t>(kRequestLength)) {
        return false;
    }
    int waiting = 0;
    while (waiting < static_cast<int>(kReplyLength)) {
        if (ioctl(fd, FIONREAD, &waiting) != 0) {
            return false;
        }
    }
    return read(fd, reply, kReplyLength) == static_cast<ssize_t>(kReplyLength) &&
           reply[0] == kEndEffectorState;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: floor_client PORT EXCHANGES\n");
        return 2;
    }
    const int fd = OpenRaw(argv[1]);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    const long exchanges = std::atol(argv[2]);
    uint8_t request[kRequestLength] = {kEndEffectorForce};
    const float force[3] = {0.0f, 0.0f, 0.1f};
    std::memcpy(request + 1, force, sizeof force);  // the hosts measured are little-endian
    uint8_t reply[kReplyLength];
    std::vector<long long> times;
    times.reserve(static_cast<size_t>(exchanges));
    for (long i = 0; i < exchanges; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (!Exchange(fd, request, reply)) {
            std::fprintf(stderr, "exchange %ld failed\n", i);
            return 1;
        }
        times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
    }
    close(fd);
    for (long long t : times) {
        std::printf("%lld\n", t);
    }
    return 0;
}
