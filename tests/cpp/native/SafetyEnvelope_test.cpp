#include "SafetyEnvelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace Ornix::Companion {
namespace {

using std::chrono::milliseconds;
using Intervention = Telemetry::Intervention;

// Ticks at 1 kHz through an envelope, the arm at rest and answering every tick, the program
// heard from at every tick unless told otherwise.
class Envelope : public ::testing::Test {
protected:
    explicit Envelope(SafetyLimits limits = {}) : envelope(limits) {
        telemetry.Begin(now);
        envelope.RampFromZero();
    }
    Vec3 Tick(const Vec3& wanted, bool heard = true, bool exchanged = true) {
        if (heard) {
            last_heard = now;
        }
        const Vec3 sent =
            envelope.Apply(wanted, velocity, now, last_exchange, last_heard, telemetry);
        now += milliseconds(1);
        if (exchanged) {
            last_exchange = now;
        }
        return sent;
    }
    uint64_t Count(Intervention intervention) {
        return telemetry.Read(now, true).interventions[static_cast<size_t>(intervention)];
    }

    SafetyEnvelope envelope;
    Telemetry telemetry;
    std::chrono::nanoseconds now = milliseconds(10000);
    std::chrono::nanoseconds last_exchange = now;
    std::chrono::nanoseconds last_heard = now;
    Vec3 velocity;
};

TEST_F(Envelope, ForceRampsInFromZeroOverTheRamp) {
    EXPECT_EQ(Tick({0, 0, 2}), (Vec3{0, 0, 0}));
    for (int tick = 1; tick < 250; ++tick) {
        Tick({0, 0, 2});
    }
    EXPECT_NEAR(Tick({0, 0, 2}).z, 1.0, 1e-9);
    for (int tick = 251; tick < 500; ++tick) {
        Tick({0, 0, 2});
    }
    EXPECT_NEAR(Tick({0, 0, 2}).z, 2.0, 1e-9);
    EXPECT_EQ(Tick({0, 0, 2}).z, 2.0);
    EXPECT_EQ(Count(Intervention::Ramped), 500u);
}

TEST_F(Envelope, MagnitudeIsClampedInItsDirection) {
    for (int tick = 0; tick <= 500; ++tick) {
        Tick({});
    }
    const Vec3 sent = Tick({30, 0, -40});
    EXPECT_NEAR(sent.Norm(), SafetyLimits::kDefaultMaxForce, 1e-9);
    EXPECT_NEAR(sent.x / sent.z, -0.75, 1e-12);
    envelope.SetMaxForce(1.0);
    EXPECT_NEAR(Tick({0, 3, 0}).y, 1.0, 1e-12);
    EXPECT_EQ(Tick({0, 0.5, 0}).y, 0.5);
    EXPECT_EQ(Count(Intervention::Clamped), 2u);
}

TEST_F(Envelope, ForcesThatAreNotNumbersBecomeZero) {
    for (int tick = 0; tick <= 500; ++tick) {
        Tick({});
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinite = std::numeric_limits<double>::infinity();
    EXPECT_EQ(Tick({nan, 0, 1}), (Vec3{}));
    EXPECT_EQ(Tick({0, -infinite, 0}), (Vec3{}));
    EXPECT_EQ(Tick({0, 0, 1}).z, 1.0);
    EXPECT_EQ(Count(Intervention::NonFinite), 2u);
}

TEST_F(Envelope, AStretchWithoutExchangesRampsInAgain) {
    for (int tick = 0; tick <= 500; ++tick) {
        Tick({0, 0, 1});
    }
    for (int tick = 0; tick < 50; ++tick) {
        EXPECT_EQ(Tick({0, 0, 1}, true, false).z, 1.0);
    }
    EXPECT_EQ(Tick({0, 0, 1}, true, false).z, 0.0);
    EXPECT_EQ(Tick({0, 0, 1}).z, 0.0);
    EXPECT_NEAR(Tick({0, 0, 1}).z, 0.002, 1e-9);
}

class EnvelopeWithLimits : public Envelope {
protected:
    static SafetyLimits Limits() {
        SafetyLimits limits;
        limits.ramp_seconds = 0.1;
        limits.max_velocity = 0.5;
        limits.heartbeat_seconds = 0.2;
        return limits;
    }
    EnvelopeWithLimits() : Envelope(Limits()) {}
};

TEST_F(EnvelopeWithLimits, AboveTheMaximumSpeedNoForceIsSentAndItRampsInAfter) {
    for (int tick = 0; tick <= 100; ++tick) {
        Tick({1, 0, 0});
    }
    velocity = {0.3, 0.3, 0.3};
    EXPECT_EQ(Tick({1, 0, 0}), (Vec3{}));
    velocity = {0.1, 0, 0};
    EXPECT_NEAR(Tick({1, 0, 0}).x, 0.01, 1e-9);
    EXPECT_NEAR(Tick({1, 0, 0}).x, 0.02, 1e-9);
    EXPECT_EQ(Count(Intervention::Overspeed), 1u);
}

// A program that stops setting its force or reading the state (it hangs, or waits on something
// else) has its force ramped out; once it is heard again the force ramps back in.
TEST_F(EnvelopeWithLimits, AProgramNotHeardFromHasItsForceRampedToZero) {
    for (int tick = 0; tick <= 100; ++tick) {
        Tick({0, 0, 2});
    }
    for (int tick = 0; tick < 200; ++tick) {
        EXPECT_EQ(Tick({0, 0, 2}, false).z, 2.0) << tick;
    }
    EXPECT_NEAR(Tick({0, 0, 2}, false).z, 2.0 - 0.02, 1e-9);
    for (int tick = 0; tick < 100; ++tick) {
        Tick({0, 0, 2}, false);
    }
    EXPECT_EQ(Tick({0, 0, 2}, false).z, 0.0);
    EXPECT_EQ(Count(Intervention::Heartbeat), 102u);
    EXPECT_NEAR(Tick({0, 0, 2}).z, 0.02, 1e-9);
    EXPECT_NEAR(Tick({0, 0, 2}).z, 0.04, 1e-9);
}

class EnvelopeWithoutRamp : public Envelope {
protected:
    static SafetyLimits Limits() {
        SafetyLimits limits;
        limits.ramp_seconds = 0;
        return limits;
    }
    EnvelopeWithoutRamp() : Envelope(Limits()) {}
};

TEST_F(EnvelopeWithoutRamp, ForceIsInAtOnce) {
    EXPECT_EQ(Tick({0, 0, 2}).z, 2.0);
    EXPECT_EQ(Count(Intervention::Ramped), 0u);
}

}  // namespace
}  // namespace Ornix::Companion
