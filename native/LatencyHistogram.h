// Counts of durations, in microseconds, by bucket: exact to the microsecond below 1 ms, to 10 µs
// below 10 ms, to the millisecond below a second, and one bucket above. The servo loop adds to
// it every tick without allocating; any thread reads percentiles from it meanwhile.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace Ornix::Companion {

class LatencyHistogram {
public:
    void Add(double microseconds);
    // Only while nothing adds.
    void Clear();

    uint64_t Count() const;
    // The duration below which `fraction` of those counted lie, to the bucket's resolution; 0
    // when nothing was counted.
    double Percentile(double fraction) const;
    double Max() const { return max_us.load(std::memory_order_relaxed); }

private:
    static constexpr int kFine = 1000;   // 1 µs each, up to 1 ms
    static constexpr int kMedium = 900;  // 10 µs each, up to 10 ms
    static constexpr int kCoarse = 990;  // 1 ms each, up to 1 s
    static constexpr int kBuckets = kFine + kMedium + kCoarse + 1;

    static int Bucket(double microseconds);
    static double LowerEdge(int bucket);

    std::array<std::atomic<uint64_t>, kBuckets> counts{};
    std::atomic<double> max_us{0};
};

}  // namespace Ornix::Companion
