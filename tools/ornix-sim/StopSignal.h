#pragma once

#include <csignal>

#include "FileDescriptor.h"

// The process-wide request to stop, raised by SIGINT, SIGTERM or Request(): from then on its
// descriptor stays readable, which ends the event loop that watches it. At most one may exist
// at a time.
class StopSignal {
public:
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    ~StopSignal();

    void Request();
    int Fd() const { return read_end_.Get(); }

private:
    FileDescriptor read_end_;
    FileDescriptor write_end_;
    struct sigaction previous_interrupt_{};
    struct sigaction previous_terminate_{};
};
