#include "LoggingSink.h"

#include "Binding.h"
#include "Diagnostics.h"

namespace Ornix::Companion {

LoggingSink::LoggingSink(pybind11::function deliver) : deliver(std::move(deliver)) {}

void LoggingSink::Report(const char* source_file, unsigned source_line, const char* message,
                         int error_number, const char* error_text) {
    Failure failure{source_file, source_line, message, error_number, error_text};
    if (PyGILState_Check() == 1) {
        DeliverAll();
        Deliver(failure);
        return;
    }
#if !defined(PYPY_VERSION)
    // PyPy cannot tell whether a thread that let go of the lock is one of Python's: it queues.
    if (PyGILState_GetThisThreadState() != nullptr) {
        const HardwareAPI::Python::LockTaken lock;
        DeliverAll();
        Deliver(failure);
        return;
    }
#endif
    {
        const std::lock_guard<std::mutex> guard(mutex);
        waiting.push_back(std::move(failure));
    }
    queued.notify_one();
}

bool LoggingSink::DeliverQueued(std::chrono::milliseconds timeout) {
    bool open = true;
    {
        const pybind11::gil_scoped_release released;
        std::unique_lock<std::mutex> lock(mutex);
        queued.wait_for(lock, timeout, [&] { return closed || !waiting.empty(); });
        open = !closed;
    }
    DeliverAll();
    return open;
}

void LoggingSink::Close() {
    {
        const std::lock_guard<std::mutex> guard(mutex);
        closed = true;
    }
    queued.notify_all();
}

void LoggingSink::DeliverAll() {
    std::deque<Failure> taken;
    {
        const std::lock_guard<std::mutex> guard(mutex);
        taken.swap(waiting);
    }
    for (const Failure& failure : taken) {
        Deliver(failure);
    }
}

void LoggingSink::Deliver(const Failure& failure) {
    // A failure waiting to be raised (Ctrl-C during a wait) stays pending across the call.
    PyObject *kind = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&kind, &value, &traceback);
    try {
        deliver(failure.file, failure.line, failure.message, failure.error_number,
                failure.error_text);
    } catch (pybind11::error_already_set& raised) {
        // The line must not be lost with the logger: it goes where it was headed.
        HardwareAPI::Diagnostics::WriteToStandardError(
            failure.file.c_str(), failure.line, failure.message.c_str(), failure.error_number,
            failure.error_text.c_str());
        if (!raised.matches(PyExc_Exception) && kind == nullptr) {
            // Not an error of the handler's own, such as KeyboardInterrupt: the caller raises it.
            raised.restore();
            return;
        }
    }
    if (kind != nullptr) {
        PyErr_Restore(kind, value, traceback);
    }
}

}  // namespace Ornix::Companion
