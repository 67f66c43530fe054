#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

// The bytes meant for one non-blocking descriptor that it has not taken yet, written oldest
// first as it makes room. A host that reads late must still get every reply, so nothing is
// given up on a full queue; the owner stops taking the input that makes more output instead,
// which carries the backpressure to the sender. Each piece keeps the time it was added, and the
// owner hears of every byte once it is written, so that a recorder records only what went out.
class PendingOutput {
public:
    using Clock = std::chrono::steady_clock;
    // Each run of bytes written, with the time its piece was added.
    using Written = std::function<void(const std::uint8_t*, std::size_t, Clock::time_point)>;

    // Bytes waiting beyond this stop the owner from taking the input that makes more, so that a
    // side that writes without reading is held up instead of the queue growing without bound.
    static constexpr std::size_t kMostPending = 64 * 1024;

    // A droppable piece is one that DropOldest may discard whole, as long as none of it has
    // been written.
    void Add(const std::uint8_t* data, std::size_t size, Clock::time_point when,
             bool droppable = false);
    // Writes what `fd` takes without blocking; false once writing has failed, with errno set.
    bool WriteTo(int fd, const Written& written = {});
    // Discards the oldest droppable pieces until at most `limit` droppable bytes are held.
    void DropOldest(std::size_t limit);

    std::size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }

private:
    struct Piece {
        std::vector<std::uint8_t> bytes;
        std::size_t sent;
        Clock::time_point when;
        bool droppable;
    };

    std::deque<Piece> pieces_;
    std::size_t size_ = 0;
    std::size_t droppable_size_ = 0;
};
