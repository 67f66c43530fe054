#include "LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace Ornix::Companion {

int LatencyHistogram::Bucket(double us) {
    if (!(us >= 0)) {
        return 0;
    }
    if (us < 1000) {
        return static_cast<int>(us);
    }
    if (us < 10000) {
        return kFine + static_cast<int>((us - 1000) / 10);
    }
    if (us < 1e6) {
        return kFine + kMedium + static_cast<int>((us - 10000) / 1000);
    }
    return kBuckets - 1;
}

double LatencyHistogram::LowerEdge(int bucket) {
    if (bucket < kFine) {
        return bucket;
    }
    if (bucket < kFine + kMedium) {
        return 1000 + 10.0 * (bucket - kFine);
    }
    return 10000 + 1000.0 * (bucket - kFine - kMedium);
}

void LatencyHistogram::Add(double us) {
    counts[static_cast<size_t>(Bucket(us))].fetch_add(1, std::memory_order_relaxed);
    if (us > max_us.load(std::memory_order_relaxed)) {
        max_us.store(us, std::memory_order_relaxed);
    }
}

void LatencyHistogram::Clear() {
    for (auto& count : counts) {
        count.store(0, std::memory_order_relaxed);
    }
    max_us.store(0, std::memory_order_relaxed);
}

uint64_t LatencyHistogram::Count() const {
    uint64_t total = 0;
    for (const auto& count : counts) {
        total += count.load(std::memory_order_relaxed);
    }
    return total;
}

double LatencyHistogram::Percentile(double fraction) const {
    std::array<uint64_t, kBuckets> seen;
    uint64_t total = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        seen[i] = counts[i].load(std::memory_order_relaxed);
        total += seen[i];
    }
    if (total == 0) {
        return 0;
    }
    // The smallest bucket that holds the rank: the value at `fraction` of the ordered counts.
    const auto rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(total)));
    uint64_t below = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        below += seen[i];
        if (below >= std::max<uint64_t>(rank, 1)) {
            return LowerEdge(static_cast<int>(i));
        }
    }
    return LowerEdge(kBuckets - 1);
}

}  // namespace Ornix::Companion
