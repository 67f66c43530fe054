#include "Telemetry.h"

#include <gtest/gtest.h>

namespace Ornix::Companion {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(LatencyHistogram, PercentilesAreExactToTheirBucket) {
    LatencyHistogram histogram;
    EXPECT_EQ(histogram.Percentile(0.5), 0.0);
    for (int us = 1; us <= 100; ++us) {
        histogram.Add(us + 0.4);
    }
    EXPECT_EQ(histogram.Count(), 100u);
    EXPECT_EQ(histogram.Percentile(0.5), 50.0);
    EXPECT_EQ(histogram.Percentile(0.99), 99.0);
    EXPECT_DOUBLE_EQ(histogram.Max(), 100.4);
    histogram.Add(4567.0);
    histogram.Add(250000.5);
    EXPECT_EQ(histogram.Percentile(1.0), 250000.0);
    EXPECT_DOUBLE_EQ(histogram.Max(), 250000.5);
    histogram.Clear();
    EXPECT_EQ(histogram.Count(), 0u);
    EXPECT_EQ(histogram.Max(), 0.0);
}

TEST(LatencyHistogram, CoarserBucketsAboveAMillisecond) {
    LatencyHistogram histogram;
    histogram.Add(4567.0);
    EXPECT_EQ(histogram.Percentile(0.5), 4560.0);
    histogram.Clear();
    histogram.Add(123456.0);
    EXPECT_EQ(histogram.Percentile(0.5), 123000.0);
    histogram.Clear();
    histogram.Add(3e6);
    EXPECT_EQ(histogram.Percentile(0.5), 1e6);
    EXPECT_EQ(histogram.Max(), 3e6);
}

TEST(Telemetry, AWindowCountsWhatHappenedInIt) {
    Telemetry telemetry;
    telemetry.Begin(milliseconds(1000));
    for (int i = 0; i < 500; ++i) {
        telemetry.ResetIfAsked(milliseconds(1000 + 2 * i));
        telemetry.Tick(microseconds(i % 2 == 0 ? 10 : 30));
        telemetry.Exchange(microseconds(200), i % 100 != 0);
    }
    telemetry.Missed(3);
    telemetry.Intervened(Telemetry::Intervention::Clamped);
    telemetry.Intervened(Telemetry::Intervention::Clamped);
    telemetry.Intervened(Telemetry::Intervention::Heartbeat);
    const Telemetry::Snapshot seen = telemetry.Read(milliseconds(2000), true);
    EXPECT_DOUBLE_EQ(seen.seconds, 1.0);
    EXPECT_EQ(seen.ticks, 500u);
    EXPECT_DOUBLE_EQ(seen.rate, 500.0);
    EXPECT_EQ(seen.missed, 3u);
    EXPECT_EQ(seen.lateness_p50_us, 10.0);
    EXPECT_EQ(seen.lateness_p99_us, 30.0);
    EXPECT_EQ(seen.exchanges, 500u);
    EXPECT_EQ(seen.exchanges_failed, 5u);
    EXPECT_EQ(seen.exchange_p50_us, 200.0);
    EXPECT_EQ(seen.interventions[0], 2u);
    EXPECT_EQ(seen.interventions[4], 1u);
}

// A reader's new window begins at the loop's next tick while it runs, so that the loop alone
// ever writes the counts; once it has stopped, at once. A stopped loop's window ends where its
// last tick was.
TEST(Telemetry, ANewWindowBeginsAtTheNextTickOrAtOnce) {
    Telemetry telemetry;
    telemetry.Begin(milliseconds(0));
    telemetry.ResetIfAsked(milliseconds(1));
    telemetry.Tick(microseconds(5));
    telemetry.Reset(milliseconds(2), true);
    EXPECT_EQ(telemetry.Read(milliseconds(2), true).ticks, 0u);
    telemetry.ResetIfAsked(milliseconds(3));
    telemetry.Tick(microseconds(5));
    const Telemetry::Snapshot after = telemetry.Read(milliseconds(4), true);
    EXPECT_EQ(after.ticks, 1u);
    EXPECT_DOUBLE_EQ(after.seconds, 0.001);
    EXPECT_DOUBLE_EQ(telemetry.Read(milliseconds(500), false).seconds, 0.0);
    telemetry.Reset(milliseconds(600), false);
    EXPECT_EQ(telemetry.Read(milliseconds(700), false).ticks, 0u);
}

}  // namespace
}  // namespace Ornix::Companion
