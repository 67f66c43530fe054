// Runs the program's on_tick callback on a thread of its own, so that the servo loop never waits
// for the interpreter lock: the loop posts its state every so many ticks and goes on at once;
// this thread takes the lock and calls the callback with the newest state posted (states posted
// while a call ran are passed over). An exception in the callback stops the loop, which sends
// zero force last, and is kept for the program to raise again.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "SeqLock.h"
#include "ServoLoop.h"

namespace Ornix::Companion {

class TickCallback final : public TickObserver {
public:
    // `callback` is called as callback(time, tick, px, py, pz, vx, vy, vz, fx, fy, fz).
    TickCallback(pybind11::function callback, ServoLoop& loop);
    // Only with the interpreter lock released: the thread may be waiting for it.
    ~TickCallback();
    TickCallback(const TickCallback&) = delete;
    TickCallback& operator=(const TickCallback&) = delete;

    void Start();
    // Only with the interpreter lock released.
    void Stop();
    // The loop's side.
    void Observe(const ServoState& state) override;
    // The exception the callback raised, taken once; with the interpreter lock held.
    std::optional<pybind11::error_already_set> TakeError();

private:
    void Run();

    pybind11::function callback;
    ServoLoop& loop;
    SeqLock<ServoState> latest;
    std::atomic<uint64_t> posted{0};
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<pybind11::error_already_set> error;
    std::thread thread;
};

}  // namespace Ornix::Companion
