// The companion's sink for the library's error lines: each failure becomes a call of the
// program's deliver(file, line, message, errno, strerror), which ornix.diagnostics turns into a
// logging record, on the thread that failed when Python knows that thread: at once when it holds
// the interpreter lock, after taking it otherwise. A thread Python does not know (detection's
// probes, the servo loop) must never wait for the lock, which the thread waiting on it may hold:
// its failures wait in a queue, which every delivery on a Python thread empties first and which
// the companion's own thread empties as soon as it can take the lock. Nothing passes through
// standard error, so nothing written there by anyone else is touched.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "DiagnosticSink.h"

namespace Ornix::Companion {

class LoggingSink final : public HardwareAPI::DiagnosticSink {
public:
    explicit LoggingSink(pybind11::function deliver);

    void Report(const char* source_file, unsigned source_line, const char* message,
                int error_number, const char* error_text) override;

    // With the interpreter lock held: waits without it, up to `timeout`, for failures queued by
    // threads Python does not know, then delivers them. False once the sink is closed and its
    // queue empty.
    bool DeliverQueued(std::chrono::milliseconds timeout);
    // Ends the waits of DeliverQueued; failures still to come are queued for a last call.
    void Close();

private:
    struct Failure {
        std::string file;
        unsigned line;
        std::string message;
        int error_number;
        std::string error_text;
    };

    // With the lock held.
    void Deliver(const Failure& failure);
    void DeliverAll();

    pybind11::function deliver;
    std::mutex mutex;
    std::condition_variable queued;
    std::deque<Failure> waiting;
    bool closed = false;
};

}  // namespace Ornix::Companion
