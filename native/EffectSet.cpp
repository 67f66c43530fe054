#include "EffectSet.h"

namespace Ornix::Companion {

bool EffectSet::Add(const Effect* effect) {
    if (Contains(effect)) {
        return false;
    }
    for (auto& slot : slots) {
        if (slot.load() == nullptr) {
            slot.store(effect);
            return true;
        }
    }
    return false;
}

uint64_t EffectSet::Remove(const Effect* effect, bool& found) {
    found = false;
    for (auto& slot : slots) {
        if (slot.load() == effect) {
            slot.store(nullptr);
            found = true;
        }
    }
    // A sum begun before the slot emptied ends by incrementing past this count.
    return sums.load();
}

bool EffectSet::Contains(const Effect* effect) const {
    for (const auto& slot : slots) {
        if (slot.load() == effect) {
            return true;
        }
    }
    return false;
}

Vec3 EffectSet::Sum(const Vec3& position, const Vec3& velocity) {
    Vec3 total;
    for (const auto& slot : slots) {
        if (const Effect* effect = slot.load()) {
            total += effect->Force(position, velocity);
        }
    }
    sums.fetch_add(1, std::memory_order_release);
    return total;
}

}  // namespace Ornix::Companion
