#include "ReplayScript.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>

namespace {

using std::chrono::milliseconds;

TEST(ClockDuration, ConvertsOnlyWhatTheClockCanHold) {
    EXPECT_EQ(ClockDuration(0.25),
              std::chrono::duration_cast<ReplayScript::Clock::duration>(milliseconds(250)));
    EXPECT_EQ(ClockDuration(0), ReplayScript::Clock::duration::zero());
    // The longest time a recording may give.
    ASSERT_TRUE(ClockDuration(1e9));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(*ClockDuration(1e9)).count(),
              1000000000);
    for (const double seconds : {-1e-9, 1e12, 1e300, std::numeric_limits<double>::infinity(),
                                 std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_FALSE(ClockDuration(seconds)) << seconds;
    }
}

class ReplayScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ornix-sim-script-XXXXXX";
        const int fd = ::mkstemp(pattern);
        ASSERT_GE(fd, 0);
        ::close(fd);
        path_ = pattern;
    }
    void TearDown() override { ::unlink(path_.c_str()); }

    std::string path_;
};

TEST_F(ReplayScriptTest, EachDeviceFrameCountsFromTheHostFrameBeforeIt) {
    std::ofstream(path_) << "{\"recording\": 1}\n"
                            "{\"t\": 0.25, \"from\": \"device\", \"hex\": \"da01\"}\n"
                            "{\"t\": 1.0, \"from\": \"host\", \"hex\": \"0a\"}\n"
                            "{\"t\": 1.5, \"from\": \"device\", \"hex\": \"0b02\"}\n"
                            "{\"t\": 2.0, \"from\": \"host\", \"hex\": \"ac\"}\n"
                            "{\"t\": 1.75, \"from\": \"device\", \"hex\": \"ac01\"}\n";
    ReplayScript script(path_);
    const std::vector<std::vector<std::uint8_t>> hosts = {{0x0A}, {0xAC}};
    for (const auto& expected : hosts) {
        ASSERT_NE(script.NextHost(), nullptr);
        EXPECT_EQ(*script.NextHost(), expected);
        script.TakeHost();
    }
    EXPECT_EQ(script.NextHost(), nullptr);

    struct Expected {
        std::size_t after;
        milliseconds delay;
        std::vector<std::uint8_t> bytes;
    };
    // A frame recorded before the time of its host frame is due at once.
    const std::vector<Expected> devices = {{0, milliseconds(250), {0xDA, 0x01}},
                                           {1, milliseconds(500), {0x0B, 0x02}},
                                           {2, milliseconds(0), {0xAC, 0x01}}};
    for (const Expected& expected : devices) {
        const ReplayScript::DeviceFrame* frame = script.NextDevice();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->after, expected.after);
        EXPECT_EQ(frame->delay, expected.delay);
        EXPECT_EQ(frame->bytes, expected.bytes);
        script.TakeDevice();
    }
    EXPECT_EQ(script.NextDevice(), nullptr);
}

TEST_F(ReplayScriptTest, ABadLineAnywhereIsRefusedBeforeAnythingIsServed) {
    std::ofstream(path_) << "{\"recording\": 1}\n"
                            "{\"t\": 1.0, \"from\": \"host\", \"hex\": \"0a\"}\n"
                            "{\"t\": 1.5, \"from\": \"device\", \"hex\": \"0b02\"}\n"
                            "{\"t\": 2.0, \"from\": \"host\", \"hex\": \"ac\", \"fields\": 3}\n";
    EXPECT_THROW(ReplayScript{path_}, RecordingError);
}

}  // namespace
