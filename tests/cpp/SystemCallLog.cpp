#include "SystemCallLog.h"

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>

// glibc declares some of these functions as not throwing; the definitions must say the same.
#ifndef __THROW
#define __THROW
#endif

namespace Ornix::Testing {

namespace {
thread_local SystemCallLog* recording = nullptr;

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}
}  // namespace

SystemCallLog::SystemCallLog() { recording = this; }
SystemCallLog::~SystemCallLog() { recording = nullptr; }

}  // namespace Ornix::Testing

using Ornix::Testing::recording;

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static const auto next = Ornix::Testing::Next<ssize_t (*)(int, const void*, size_t)>("write");
    if (recording != nullptr) {
        recording->writes.push_back({fd, size});
    }
    return next(fd, data, size);
}

extern "C" int tcsetattr(int fd, int when, const termios* settings) __THROW {
    static const auto next = Ornix::Testing::Next<int (*)(int, int, const termios*)>("tcsetattr");
    if (recording != nullptr) {
        recording->settings.push_back(*settings);
    }
    return next(fd, when, settings);
}

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
    static const auto next = Ornix::Testing::Next<int (*)(int, unsigned long, ...)>("ioctl");
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (recording != nullptr && request == TIOCMSET) {
        recording->modem_words.push_back(*static_cast<const int*>(argument));
    }
    return next(fd, request, argument);
}
