// Small helpers shared by the C++ tests.
#pragma once

#include <unistd.h>

#include <chrono>

namespace Ornix::Testing {

inline long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

// The descriptor number the next open would get: unchanged when nothing has leaked.
inline int LowestFreeDescriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

}  // namespace Ornix::Testing
