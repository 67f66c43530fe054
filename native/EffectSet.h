// The effects a servo loop applies: a fixed number of slots that the program fills and empties
// while the loop sums the effects in them each tick, neither waiting on the other. An effect
// taken out may still be in use by the sum running at that moment: it may be destroyed once
// Sums() has passed the count Remove returned.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "Effect.h"

namespace Ornix::Companion {

class EffectSet {
public:
    static constexpr size_t kCapacity = 32;

    // False when the effect is in the set already or the set is full. The program's side: one
    // thread at a time.
    bool Add(const Effect* effect);
    // The count of sums begun by now; false in `found` when the effect was not in the set.
    uint64_t Remove(const Effect* effect, bool& found);
    bool Contains(const Effect* effect) const;

    // The loop's side: the sum of the effects' forces.
    Vec3 Sum(const Vec3& position, const Vec3& velocity);
    // The count of sums finished.
    uint64_t Sums() const { return sums.load(std::memory_order_acquire); }

private:
    std::array<std::atomic<const Effect*>, kCapacity> slots{};
    std::atomic<uint64_t> sums{0};
};

}  // namespace Ornix::Companion
