// Records the port system calls made on the recording thread (writes, terminal settings and
// modem-line words) and passes each on unchanged, so that tests can see exactly how the library
// drives a real pseudo-terminal, including what a pseudo-terminal does not keep.
#pragma once

#include <termios.h>

#include <cstddef>
#include <vector>

namespace Ornix::Testing {

struct WriteCall {
    int fd;
    size_t size;
};

class SystemCallLog {
public:
    // Recording runs on the constructing thread until destruction.
    SystemCallLog();
    ~SystemCallLog();
    SystemCallLog(const SystemCallLog&) = delete;
    SystemCallLog& operator=(const SystemCallLog&) = delete;

    std::vector<WriteCall> writes;
    std::vector<termios> settings;  // as passed to tcsetattr
    std::vector<int> modem_words;   // as passed to ioctl TIOCMSET
};

}  // namespace Ornix::Testing
