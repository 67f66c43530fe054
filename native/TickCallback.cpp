#include "TickCallback.h"

#include <chrono>

#include "Binding.h"

namespace Ornix::Companion {

namespace {

// A post whose wake-up was missed (the loop wakes the thread without the mutex, never waiting
// for it) is seen after this long at the latest.
constexpr std::chrono::milliseconds kLongestNap(10);

}  // namespace

TickCallback::TickCallback(pybind11::function callback, ServoLoop& loop)
    : callback(std::move(callback)), loop(loop) {}

TickCallback::~TickCallback() {
    Stop();
    // The callback object is released with the lock, which the destructor's caller gave up.
    const HardwareAPI::Python::LockTaken lock;
    callback = pybind11::function();
    error.reset();
}

void TickCallback::Start() {
    if (!thread.joinable()) {
        stopping.store(false);
        thread = std::thread([this] { Run(); });
    }
}

void TickCallback::Stop() {
    if (thread.joinable()) {
        stopping.store(true);
        wake.notify_one();
        thread.join();
    }
}

void TickCallback::Observe(const ServoState& state) {
    latest.Store(state);
    posted.fetch_add(1, std::memory_order_release);
    wake.notify_one();
}

std::optional<pybind11::error_already_set> TickCallback::TakeError() {
    std::optional<pybind11::error_already_set> taken = std::move(error);
    error.reset();
    return taken;
}

void TickCallback::Run() {
    uint64_t delivered = posted.load();
    while (true) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            wake.wait_for(lock, kLongestNap,
                          [&] { return stopping.load() || posted.load() != delivered; });
        }
        if (stopping.load()) {
            return;
        }
        if (posted.load() == delivered) {
            continue;
        }
        delivered = posted.load(std::memory_order_acquire);
        const ServoState state = latest.Load();
        const HardwareAPI::Python::LockTaken lock;
        try {
            callback(state.time, state.tick, state.position.x, state.position.y, state.position.z,
                     state.velocity.x, state.velocity.y, state.velocity.z, state.force.x,
                     state.force.y, state.force.z);
        } catch (pybind11::error_already_set& raised) {
            error = std::move(raised);
            loop.RequestStop();
            return;
        } catch (const std::exception& failure) {
            PyErr_SetString(PyExc_RuntimeError, failure.what());
            error.emplace();
            loop.RequestStop();
            return;
        }
    }
}

}  // namespace Ornix::Companion
