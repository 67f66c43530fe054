#include "StopSignal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "SystemError.h"

namespace {

volatile std::sig_atomic_t stop_write_fd = -1;

void OnSignal(int) {
    // The interrupted thread may be about to look at errno.
    const int saved_errno = errno;
    const char byte = 0;
    // Nobody drains the pipe, so one byte is enough and a full pipe means it is already set.
    [[maybe_unused]] const ssize_t written = ::write(stop_write_fd, &byte, 1);
    errno = saved_errno;
}

}  // namespace

StopSignal::StopSignal() {
    int ends[2];
    if (::pipe(ends) != 0) {
        throw SystemError("cannot create the stop pipe");
    }
    read_end_ = FileDescriptor(ends[0]);
    write_end_ = FileDescriptor(ends[1]);
    const int flags = ::fcntl(ends[1], F_GETFL);
    if (flags < 0 || ::fcntl(ends[1], F_SETFL, flags | O_NONBLOCK) != 0) {
        throw SystemError("cannot set up the stop pipe");
    }
    stop_write_fd = ends[1];
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_interrupt_);
    ::sigaction(SIGTERM, &action, &previous_terminate_);
}

StopSignal::~StopSignal() {
    ::sigaction(SIGINT, &previous_interrupt_, nullptr);
    ::sigaction(SIGTERM, &previous_terminate_, nullptr);
    stop_write_fd = -1;
}

void StopSignal::Request() { OnSignal(0); }
