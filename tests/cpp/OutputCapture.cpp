#include "OutputCapture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

namespace Ornix::Testing {

namespace {

void FlushEverything() {
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

}  // namespace

OutputCapture::OutputCapture(int fd) : fd(fd) {
    char name[] = "/tmp/ornix-capture-XXXXXX";
    file_fd = mkstemp(name);
    if (file_fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    unlink(name);
    FlushEverything();
    saved_fd = dup(fd);
    dup2(file_fd, fd);
}

OutputCapture::~OutputCapture() {
    Restore();
    if (file_fd >= 0) {
        close(file_fd);
    }
}

std::string OutputCapture::Finish() {
    Restore();
    std::string text;
    char chunk[4096];
    ssize_t n;
    lseek(file_fd, 0, SEEK_SET);
    while ((n = read(file_fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

void OutputCapture::Restore() {
    if (saved_fd >= 0) {
        FlushEverything();
        dup2(saved_fd, fd);
        close(saved_fd);
        saved_fd = -1;
    }
}

}  // namespace Ornix::Testing
