#include "ServoLoop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <thread>

#include "Effects.h"
#include "FakeDevice.h"
#include "LinkClock.h"
#include "MemoryLink.h"
#include "OutputCapture.h"

namespace Ornix::Companion {
namespace {

using HardwareAPI::Devices::Device;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using Testing::Bytes;
using Testing::Concat;
using Testing::FloatBytes;
using Testing::MemoryLink;
using Testing::OutputCapture;

// The force of each end-effector force frame the arm received, in order.
std::vector<Vec3> ForcesSent(const Bytes& written) {
    std::vector<Vec3> forces;
    for (size_t at = 0; at + 13 <= written.size(); at += 13) {
        EXPECT_EQ(written[at], 0x2A) << "at " << at;
        float values[3];
        std::memcpy(values, &written[at + 1], sizeof values);
        forces.push_back(Vec3::From(std::array<float, 3>{values[0], values[1], values[2]}));
    }
    EXPECT_EQ(written.size() % 13, 0u);
    return forces;
}

// A servo loop at 1 kHz ticking on the test's thread, with an arm that answers each force frame
// after 200 µs with the state `position` gives, unless `answer` says otherwise.
class ServoTicks : public ::testing::Test {
protected:
    explicit ServoTicks(SafetyLimits limits = {}) : loop(arm, Settings(limits), clock) {
        link.Answer([this](MemoryLink& l, const Bytes& frame) {
            ++requests;
            if (frame[0] != 0x2A) {
                return;
            }
            const Bytes reply = answer ? answer(requests) : State();
            if (!reply.empty()) {
                l.Arrive(reply, microseconds(200));
            }
        });
    }
    static ServoLoop::Settings Settings(const SafetyLimits& limits) {
        ServoLoop::Settings settings;
        settings.limits = limits;
        settings.realtime = false;
        return settings;
    }
    Bytes State() const {
        return Concat({{0x2B},
                       FloatBytes({static_cast<float>(position.x), static_cast<float>(position.y),
                                   static_cast<float>(position.z), 0, 0, 0})});
    }
    void Ticks(int count) {
        for (int i = 0; i < count; ++i) {
            loop.Tick();
        }
    }
    std::vector<Vec3> Sent() const { return ForcesSent(link.Written()); }

    MemoryLink link;
    HardwareAPI::Devices::Ostrel3 arm{&link, Device::kReplyTimeout, &MemoryLink::Clock};
    LinkClock clock{link};
    ServoLoop loop;
    Vec3 position{0.2, 0, 0.1};
    std::function<Bytes(int request)> answer;
    int requests = 0;
};

TEST_F(ServoTicks, TheFirstFramesRampAndTheLastIsZero) {
    loop.SetForce({0, 0, 1});
    loop.Begin();
    Ticks(600);
    loop.End();
    const std::vector<Vec3> sent = Sent();
    ASSERT_EQ(sent.size(), 601u);
    EXPECT_EQ(sent[0], (Vec3{}));
    EXPECT_NEAR(sent[1].z, 0.002, 1e-6);
    EXPECT_NEAR(sent[250].z, 0.5, 1e-6);
    EXPECT_EQ(sent[500].z, 1.0);
    EXPECT_EQ(sent[599].z, 1.0);
    EXPECT_EQ(sent[600], (Vec3{}));
    const ServoState state = loop.State();
    EXPECT_EQ(state.tick, 600u);
    EXPECT_EQ(state.force, (Vec3{}));
    EXPECT_NEAR(state.position.z, 0.1, 1e-7);
}

class ServoTicksWithoutRamp : public ServoTicks {
protected:
    static SafetyLimits NoRamp() {
        SafetyLimits limits;
        limits.ramp_seconds = 0;
        return limits;
    }
    ServoTicksWithoutRamp() : ServoTicks(NoRamp()) {}
};

TEST_F(ServoTicksWithoutRamp, NoFrameExceedsTheMaximumAndNonNumbersGoOutAsZero) {
    loop.Begin();
    loop.SetForce({0, 30, 40});
    Ticks(3);
    loop.SetForce({0, 0, std::numeric_limits<double>::quiet_NaN()});
    Ticks(2);
    loop.SetForce({0, 0, -std::numeric_limits<double>::infinity()});
    Ticks(2);
    loop.End();
    const std::vector<Vec3> sent = Sent();
    ASSERT_EQ(sent.size(), 8u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(sent[i].Norm(), SafetyLimits::kDefaultMaxForce, 1e-6) << i;
        EXPECT_NEAR(sent[i].z / sent[i].y, 4.0 / 3.0, 1e-6) << i;
    }
    for (int i = 3; i < 8; ++i) {
        EXPECT_EQ(sent[i], (Vec3{})) << i;
    }
    const Telemetry::Snapshot stats = loop.Stats(false);
    EXPECT_EQ(stats.interventions[static_cast<size_t>(Telemetry::Intervention::Clamped)], 3u);
    EXPECT_EQ(stats.interventions[static_cast<size_t>(Telemetry::Intervention::NonFinite)], 4u);
}

TEST_F(ServoTicksWithoutRamp, EffectsAddToTheProgramsForceFromTheArmsState) {
    const Wall wall({{0, 0, 0.11}, {0, 0, 1}, 400, 4});
    const ConstantForce push(ConstantParameters{{0.5, 0, 0}});
    loop.Effects().Add(&wall);
    loop.Effects().Add(&push);
    loop.SetForce({0, 0, -1});
    loop.Begin();
    Ticks(3);
    bool found = false;
    loop.Effects().Remove(&wall, found);
    Ticks(1);
    loop.End();
    const std::vector<Vec3> sent = Sent();
    // Before the first state the effects know nothing, so add nothing; then the arm at 1 cm
    // behind the wall is pushed out by 4 N.
    EXPECT_EQ(sent[0], (Vec3{0, 0, -1}));
    EXPECT_NEAR(sent[1].z, 3.0, 1e-4);
    EXPECT_NEAR(sent[1].x, 0.5, 1e-6);
    EXPECT_NEAR(sent[2].z, 3.0, 1e-4);
    EXPECT_EQ(sent[3], (Vec3{0.5, 0, -1}));
}

class ServoTicksWithHeartbeat : public ServoTicks {
protected:
    static SafetyLimits Heartbeat() {
        SafetyLimits limits;
        limits.ramp_seconds = 0.05;
        limits.heartbeat_seconds = 0.1;
        return limits;
    }
    ServoTicksWithHeartbeat() : ServoTicks(Heartbeat()) {}
};

// The program sets its force once and then falls silent: after the heartbeat's time its force
// ramps out over the ramp's, and stays out until the program is heard again.
TEST_F(ServoTicksWithHeartbeat, AProgramNotHeardFromHasItsForceRampedOut) {
    loop.Begin();
    loop.SetForce({0, 0, 1});
    Ticks(300);
    EXPECT_EQ(loop.State().tick, 300u);  // heard again: ramps back in
    Ticks(60);
    loop.End();
    const std::vector<Vec3> sent = Sent();
    EXPECT_EQ(sent[99].z, 1.0);
    EXPECT_LT(sent[125].z, 0.6);
    EXPECT_GT(sent[125].z, 0.4);
    EXPECT_EQ(sent[160].z, 0.0);
    EXPECT_EQ(sent[299].z, 0.0);
    EXPECT_GT(sent[310].z, 0.0);
    EXPECT_EQ(sent[355].z, 1.0);
    EXPECT_EQ(sent.back(), (Vec3{}));
}

// Replies that fail (a code the arm never sends, drained for 50 ms each) are counted, the
// deadlines they cover are skipped, and forces ramp in afresh once exchanges work again.
TEST_F(ServoTicks, FailedExchangesAreCountedAndForcesRampInAfresh) {
    answer = [this](int request) {
        return request > 600 && request <= 610 ? Bytes{0x99, 0x00} : State();
    };
    OutputCapture errors(STDERR_FILENO);
    loop.SetForce({0, 0, 1});
    loop.Begin();
    Ticks(620);
    loop.End();
    errors.Finish();
    const std::vector<Vec3> sent = Sent();
    // The first failure takes the time of a stretch without exchanges: from then on no force
    // goes out until the arm answers again, and then it ramps in from zero.
    EXPECT_EQ(sent[600].z, 1.0);
    for (int i = 601; i <= 610; ++i) {
        EXPECT_EQ(sent[i].z, 0.0) << i;
    }
    EXPECT_GT(sent[611].z, 0.0);
    EXPECT_LT(sent[611].z, 0.005);
    const Telemetry::Snapshot stats = loop.Stats(false);
    EXPECT_EQ(stats.exchanges, 620u);
    EXPECT_EQ(stats.exchanges_failed, 10u);
    EXPECT_EQ(stats.ticks, 620u);
    EXPECT_GE(stats.missed, 10u * 49);
    EXPECT_LE(stats.missed, 10u * 51);
}

TEST_F(ServoTicks, StatsTellTheRateTheLatenessAndTheExchangeTime) {
    loop.Begin();
    Ticks(1001);
    const Telemetry::Snapshot stats = loop.Stats(true);
    EXPECT_EQ(stats.ticks, 1001u);
    EXPECT_NEAR(stats.rate, 1000.0, 2.0);
    EXPECT_EQ(stats.missed, 0u);
    EXPECT_EQ(stats.lateness_max_us, 0.0);
    EXPECT_GE(stats.exchange_p50_us, 200.0);
    EXPECT_LT(stats.exchange_p99_us, 250.0);
    Ticks(1);
    EXPECT_EQ(loop.Stats(false).ticks, 1u);
    loop.End();
}

// A stop asked for while an exchange waits for an arm that has fallen silent ends the wait at
// once, and the last exchange sends zero force all the same.
TEST_F(ServoTicks, AStopEndsAWaitInProgressAndStillSendsZero) {
    answer = [this](int request) {
        if (request == 10) {
            loop.RequestStop();
            return Bytes{};
        }
        return State();
    };
    loop.SetForce({0, 0, 1});
    loop.Begin();
    Ticks(9);
    const auto before = link.Now();
    Ticks(1);
    EXPECT_TRUE(loop.Stopping());
    loop.End();
    EXPECT_LT(link.Now() - before, milliseconds(250));
    const std::vector<Vec3> sent = Sent();
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_GT(sent[9].z, 0.0);
    EXPECT_EQ(sent[10], (Vec3{}));
}

// On its own thread and the real clock: the loop claims the arm's stream while it runs, so a
// second loop cannot start on it, and its last frame is zero. Only the order of what reaches the
// line is checked, never how fast.
TEST(ServoThread, ClaimsTheStreamWhileItRunsAndEndsWithZero) {
    MemoryLink link;
    link.Answer([](MemoryLink& l, const Bytes&) {
        l.Arrive(Concat({{0x2B}, FloatBytes({0.2f, 0, 0, 0, 0, 0})}));
    });
    HardwareAPI::Devices::Ostrel3 arm(&link, Device::kReplyTimeout, &MemoryLink::Clock);
    SteadyServoClock clock;
    ServoLoop::Settings settings;
    settings.realtime = false;
    ServoLoop loop(arm, settings, clock);
    ServoLoop second(arm, settings, clock);
    loop.SetForce({0, 0, 1});
    ASSERT_TRUE(loop.Start());
    EXPECT_TRUE(link.Claimed());
    EXPECT_FALSE(second.Start());
    EXPECT_FALSE(loop.Start());
    while (loop.State().tick < 5) {
        std::this_thread::yield();
    }
    loop.Stop();
    EXPECT_FALSE(link.Claimed());
    EXPECT_EQ(loop.Scheduling().policy, "normal");
    const std::vector<Vec3> sent = ForcesSent(link.Written());
    ASSERT_GE(sent.size(), 6u);
    EXPECT_EQ(sent.front(), (Vec3{}));
    EXPECT_EQ(sent.back(), (Vec3{}));
    EXPECT_GT(sent[sent.size() - 2].z, 0.0);
    // Stopped, it starts again, ramping in from zero anew.
    ASSERT_TRUE(loop.Start());
    loop.Stop();
    EXPECT_EQ(ForcesSent(link.Written())[sent.size()], (Vec3{}));
}

}  // namespace
}  // namespace Ornix::Companion
