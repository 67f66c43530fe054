// A value that one writer replaces while readers copy it, without either waiting on the other:
// the writer never blocks, and a reader that overlapped a write tries again. The servo loop
// publishes its state through one (the program reads it at any moment) and the program its
// commanded force and the effects' parameters (the loop reads them every tick). Writers of one
// value must take turns among themselves; the program's calls do, as they hold the interpreter.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace Ornix::Companion {

template <typename T>
class SeqLock {
    static_assert(std::is_trivially_copyable_v<T>, "copied word by word");

public:
    SeqLock() = default;
    explicit SeqLock(const T& initial) { Store(initial); }
    SeqLock(const SeqLock&) = delete;
    SeqLock& operator=(const SeqLock&) = delete;

    void Store(const T& value) {
        const uint64_t begun = sequence.load(std::memory_order_relaxed) + 1;
        sequence.store(begun, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        Copy(value, words);
        sequence.store(begun + 1, std::memory_order_release);
    }

    T Load() const {
        T value;
        for (;;) {
            const uint64_t before = sequence.load(std::memory_order_acquire);
            if (before % 2 == 0) {
                Copy(words, value);
                std::atomic_thread_fence(std::memory_order_acquire);
                if (sequence.load(std::memory_order_relaxed) == before) {
                    return value;
                }
            }
        }
    }

    // How many values have been stored.
    uint64_t Stores() const { return sequence.load(std::memory_order_acquire) / 2; }

private:
    static constexpr size_t kWords = (sizeof(T) + sizeof(uint64_t) - 1) / sizeof(uint64_t);
    using Words = std::atomic<uint64_t>[kWords];

    // Word by word through atomics, so that a reader racing a writer reads torn words, which the
    // sequence then rejects, rather than racing on plain memory.
    static void Copy(const T& from, Words& to) {
        uint64_t plain[kWords] = {};
        std::memcpy(plain, &from, sizeof(T));
        for (size_t i = 0; i < kWords; ++i) {
            to[i].store(plain[i], std::memory_order_relaxed);
        }
    }
    static void Copy(const Words& from, T& to) {
        uint64_t plain[kWords];
        for (size_t i = 0; i < kWords; ++i) {
            plain[i] = from[i].load(std::memory_order_relaxed);
        }
        std::memcpy(&to, plain, sizeof(T));
    }

    std::atomic<uint64_t> sequence{0};
    Words words{};
};

}  // namespace Ornix::Companion
