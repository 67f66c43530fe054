#include "LinkLatency.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using Clock = LinkLatency::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// An arbitrary start, so that nothing depends on the clock's epoch.
const Clock::time_point kStart = Clock::time_point{} + std::chrono::hours(5);

Clock::time_point At(microseconds since_start) { return kStart + since_start; }

LinkModel Model(LinkModel::Kind kind, milliseconds timer = milliseconds(16),
                std::uint32_t seed = 1) {
    LinkModel model;
    model.kind = kind;
    model.latency_timer = timer;
    model.seed = seed;
    return model;
}

using Expected = std::vector<std::pair<std::size_t, microseconds>>;

// Each release the link makes, as (bytes, time since the start), found by stepping from one
// NextRelease to the next until nothing is held.
Expected Releases(LinkLatency& link) {
    Expected releases;
    while (const auto next = link.NextRelease()) {
        EXPECT_EQ(link.Release(*next - microseconds(1)), 0u) << "bytes before their time";
        releases.emplace_back(link.Release(*next),
                              std::chrono::duration_cast<microseconds>(*next - kStart));
        if (releases.back().first == 0) {
            ADD_FAILURE() << "NextRelease released nothing";
            break;
        }
    }
    EXPECT_EQ(link.Held(), 0u);
    return releases;
}

TEST(LinkLatency, UsbFullSpeedLeavesOnTheFramesCountedFromTheStart) {
    LinkLatency link(Model(LinkModel::Kind::UsbFullSpeed), kStart);
    EXPECT_FALSE(link.NextRelease());
    // Two replies within one frame go together; one ready right on a frame goes on it.
    link.Add(5, At(microseconds(5200)));
    link.Add(25, At(microseconds(5999)));
    link.Add(13, At(microseconds(7000)));
    link.Add(22, At(microseconds(7001)));
    EXPECT_EQ(link.Held(), 65u);
    EXPECT_EQ(
        Releases(link),
        (Expected{{30, microseconds(6050)}, {13, microseconds(7050)}, {22, microseconds(8050)}}));
}

TEST(LinkLatency, FtdiTimerHoldsShortRepliesSinceTheLastBytesSent) {
    LinkLatency link(Model(LinkModel::Kind::Ftdi, milliseconds(16)), kStart);
    // An adapter that has sent nothing for longer than its timer sends on the next frame.
    link.Add(25, At(microseconds(20300)));
    EXPECT_EQ(Releases(link), (Expected{{25, microseconds(21050)}}));
    // The host's next request comes at once; its reply waits for the timer, and what comes
    // before the timer runs out joins it.
    link.Add(25, At(microseconds(21400)));
    link.Add(20, At(microseconds(36999)));
    EXPECT_EQ(link.NextRelease(), At(microseconds(37050)));
    // Once the timer has run out since those left, a reply goes on the next frame again.
    link.Add(7, At(microseconds(53000)));
    EXPECT_EQ(Releases(link), (Expected{{45, microseconds(37050)}, {7, microseconds(53050)}}));
}

TEST(LinkLatency, FtdiSendsFullPacketsAtOnceAndTimesTheRest) {
    LinkLatency tuned(Model(LinkModel::Kind::Ftdi, milliseconds(1)), kStart);
    LinkLatency held(Model(LinkModel::Kind::Ftdi, milliseconds(16)), kStart);
    // A long reply from an idle adapter: two full packets on the next frame, the rest after
    // the timer from that frame.
    tuned.Add(150, At(microseconds(20300)));
    EXPECT_EQ(Releases(tuned), (Expected{{124, microseconds(21050)}, {26, microseconds(22050)}}));
    // A reply held by the timer goes early once the next fills the buffer, and the timer
    // restarts from that packet.
    held.Add(3, At(microseconds(1000)));
    ASSERT_EQ(held.Release(At(microseconds(1050))), 3u);
    held.Add(40, At(microseconds(2500)));
    held.Add(30, At(microseconds(9200)));
    EXPECT_EQ(held.Held(), 70u);
    EXPECT_EQ(Releases(held), (Expected{{62, microseconds(10050)}, {8, microseconds(26050)}}));
}

TEST(LinkLatency, BluetoothWaitsOneToFourIntervalsRepeatablyAndInOrder) {
    const auto waits = [](std::uint32_t seed, microseconds spacing) {
        LinkLatency link(Model(LinkModel::Kind::Bluetooth, milliseconds(16), seed), kStart);
        std::vector<microseconds> result;
        Clock::time_point last{};
        for (int i = 0; i < 200; ++i) {
            const auto ready = At(spacing * (i + 1));
            link.Add(10, ready);
            const auto next = link.NextRelease();
            EXPECT_TRUE(next);
            // Releasing them all now shows any that would overtake one before it.
            while (const auto release = link.NextRelease()) {
                EXPECT_GE(*release, last) << "message " << i;
                last = *release;
                link.Release(*release);
            }
            result.push_back(std::chrono::duration_cast<microseconds>(last - ready));
        }
        return result;
    };
    // Far apart, each message shows its own wait: 2.5 ms and 1 to 4 intervals of 7.5 ms, each
    // of them drawn.
    const auto apart = waits(1, microseconds(100000));
    EXPECT_EQ(std::set<microseconds>(apart.begin(), apart.end()),
              (std::set<microseconds>{microseconds(10000), microseconds(17500), microseconds(25000),
                                      microseconds(32500)}));
    EXPECT_EQ(waits(1, microseconds(100000)), apart);
    EXPECT_NE(waits(2, microseconds(100000)), apart);
    // Close together, a message whose wait is shorter than the one before waits for it.
    bool waited_for_one_before = false;
    for (const microseconds wait : waits(1, microseconds(1000))) {
        EXPECT_GE(wait, microseconds(10000));
        waited_for_one_before =
            waited_for_one_before || wait % microseconds(7500) != microseconds(2500);
    }
    EXPECT_TRUE(waited_for_one_before);
}

}  // namespace
