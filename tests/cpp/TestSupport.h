// Small helpers shared by the C++ tests.
#pragma once

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Device.h"

namespace Ornix::Testing {

// The device time-out counts whole seconds of the wall clock, so a time-out under a second ends
// at the next whole second, however soon that comes, and an exchange that is answered at once can
// still time out. Devices that must give up quickly yet never before their device had time to
// answer run on this clock, the wall clock at twice its speed, with `kImpatientTimeout`: a wait
// ends after more than half a second and at most a second of real time.
inline HardwareAPI::Devices::Device::Microseconds DoubleSpeedClock() {
    return 2 * HardwareAPI::Devices::Device::SystemTime();
}
constexpr float kImpatientTimeout = 1.0f;

inline long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// Processor time the calling thread has used, in seconds: what a wait burns, whatever else the
// machine is doing.
inline double ThreadProcessorSeconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// The descriptor number the next open would get: unchanged when nothing has leaked.
inline int LowestFreeDescriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char name[] = "/tmp/ornix-test-XXXXXX";
        if (mkdtemp(name) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = name;
    }
    ~TemporaryDirectory() {
        const std::string command = "rm -rf '" + path + "'";
        (void)std::system(command.c_str());
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    // Creates an entry `name` that is a symbolic link to `target`; returns its path.
    std::string Link(const std::string& name, const std::string& target) const {
        const std::string entry = path + "/" + name;
        if (symlink(target.c_str(), entry.c_str()) != 0) {
            throw std::runtime_error("symlink failed: " + entry);
        }
        return entry;
    }

    std::string path;
};

}  // namespace Ornix::Testing
