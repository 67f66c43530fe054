#include "HandleReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "FakeDevice.h"
#include "LinkClock.h"
#include "MemoryLink.h"
#include "OutputCapture.h"

namespace Ornix::Companion {
namespace {

using HardwareAPI::Devices::Handle;
using Testing::Bytes;
using Testing::Concat;
using Testing::MemoryLink;
using Testing::OutputCapture;
using Event = HandleReader::Event;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// A compact packet with these buttons, battery byte (3.0 V and 5 mV a unit) and sequence count;
// none of its data bytes needs escaping.
Bytes Packet(uint8_t buttons, uint8_t battery, uint8_t sequence) {
    return Concat({{0xDA, 0x01, 0x02,    0x00,     static_cast<uint8_t>(buttons << 5 | 0x05),
                    0x2C, 0x05, 0x06,    0x07,     0x00,
                    0x40, 0x00, 0x00,    0x00,     0x00,
                    0x00, 0x00, battery, sequence, 0xC0}});
}

class Reading : public ::testing::Test {
protected:
    explicit Reading(HandleReader::Mode mode = HandleReader::Mode::Compact)
        : reader(handle, mode, 3.4f, milliseconds(10), clock) {}
    std::vector<Event> Events() {
        Event taken[16];
        const size_t count = reader.TakeEvents(taken, 16, {});
        return std::vector<Event>(taken, taken + count);
    }

    MemoryLink link;
    Handle handle{&link, Handle::kReplyTimeout, &MemoryLink::Clock};
    LinkClock clock{link};
    HandleReader reader;
};

TEST_F(Reading, EveryChangeOfAButtonIsAnEventInOrder) {
    // Buttons 0 and 2 pressed, 0 released, 1 pressed with 2 released in one packet.
    const uint8_t patterns[] = {0b000, 0b001, 0b101, 0b100, 0b010};
    for (size_t i = 0; i < sizeof patterns; ++i) {
        link.Arrive(Packet(patterns[i], 200, static_cast<uint8_t>(i)),
                    milliseconds(static_cast<int>(i)));
    }
    for (size_t i = 0; i < sizeof patterns; ++i) {
        reader.ReadOnce();
    }
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 5u);
    const std::pair<Event::Kind, int> expected[] = {
        {Event::Kind::Pressed, 0}, {Event::Kind::Pressed, 2},  {Event::Kind::Released, 0},
        {Event::Kind::Pressed, 1}, {Event::Kind::Released, 2},
    };
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, expected[i].first) << i;
        EXPECT_EQ(events[i].button, expected[i].second) << i;
        EXPECT_GT(events[i].time, 0.0);
    }
    EXPECT_LE(events[0].time, events[4].time);
    EXPECT_EQ(events[0].count, 2u);
    EXPECT_EQ(events[4].count, 5u);
    const HandleReader::Status latest = reader.Latest();
    EXPECT_EQ(latest.count, 5u);
    EXPECT_EQ(latest.buttons, 0b010);
    EXPECT_EQ(latest.device_id, 0x2C);
    EXPECT_FLOAT_EQ(latest.battery, 4.0f);
    EXPECT_EQ(reader.Gaps(), 0u);
}

TEST_F(Reading, ALowBatteryIsToldOncePerCrossing) {
    // 3.5 V, 3.3 V, 3.3 V, 3.45 V, 3.3 V: below 3.4 V twice.
    const uint8_t levels[] = {100, 60, 60, 90, 60};
    for (size_t i = 0; i < sizeof levels; ++i) {
        link.Arrive(Packet(0, levels[i], static_cast<uint8_t>(i)));
        reader.ReadOnce();
    }
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Event::Kind::BatteryLow);
    EXPECT_FLOAT_EQ(events[0].battery, 3.3f);
    EXPECT_EQ(events[1].kind, Event::Kind::BatteryRecovered);
    EXPECT_EQ(events[2].kind, Event::Kind::BatteryLow);
}

TEST_F(Reading, PacketsLostAreToldByTheSequenceCount) {
    for (uint8_t sequence : {254, 255, 0, 3, 4}) {
        link.Arrive(Packet(0, 200, sequence));
        reader.ReadOnce();
    }
    EXPECT_EQ(reader.Gaps(), 1u);
    EXPECT_EQ(reader.Latest().sequence, 4);
    OutputCapture errors(STDERR_FILENO);
    reader.ReadOnce();  // nothing comes: the status stays the last one read
    errors.Finish();
    EXPECT_EQ(reader.Latest().count, 5u);
}

class ReadingMessages : public Reading {
protected:
    ReadingMessages() : Reading(HandleReader::Mode::Messages) {}
};

TEST_F(ReadingMessages, AHandleThatDoesNotStreamIsAskedForItsStatus) {
    const Bytes status = Concat(
        {{0xDA, 0x79, 0x02, 0x00, 0x11}, Testing::FloatBytes({1.0f, 0.0f, 0.0f, 0.0f}), {0x00}});
    link.Expect({0xDA}).Reply({0xDF, 0x79, 0x02, 0x01});
    link.Expect({0xDA}).Reply(status, milliseconds(1));
    const auto start = link.Now();
    reader.ReadOnce();
    reader.ReadOnce();
    const HandleReader::Status latest = reader.Latest();
    EXPECT_EQ(latest.count, 1u);
    EXPECT_EQ(latest.device_id, 0x0279);
    EXPECT_EQ(latest.hall_level, 0x11);
    EXPECT_EQ(latest.quaternion[0], 1.0f);
    // Asked every 10 ms.
    EXPECT_GE(link.Now() - start, milliseconds(20));
}

}  // namespace
}  // namespace Ornix::Companion
