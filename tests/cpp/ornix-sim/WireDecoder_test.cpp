#include "WireDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JsonText.h"

namespace {

using Clock = WireDecoder::Clock;
using std::chrono::microseconds;

const Clock::time_point kStart = Clock::time_point{} + std::chrono::hours(3);

// A frame as one line: its side, when it began, its bytes, and its name and fields or "!" and
// its error, so that a whole exchange compares at a glance and to the byte.
std::string Line(const WireFrame& frame) {
    const std::string side = frame.from == Direction::FromHost ? "host" : "device";
    const auto at = std::chrono::duration_cast<microseconds>(frame.time - kStart).count();
    const std::string what =
        frame.name.empty() ? "! " + frame.error : frame.name + " " + frame.fields;
    return side + " @" + std::to_string(at) + " " +
           HexDigits(frame.bytes.data(), frame.bytes.size()) + " " + what;
}

// Feeds a decoder reads as they would arrive and keeps the lines of the frames it gives.
class Link {
public:
    std::vector<std::string> Host(const std::string& hex, long at_us) {
        return Take(Direction::FromHost, hex, at_us);
    }
    std::vector<std::string> Device(const std::string& hex, long at_us) {
        return Take(Direction::FromDevice, hex, at_us);
    }
    std::vector<std::string> CloseStale(Clock::time_point now) {
        std::vector<WireFrame> frames;
        decoder.CloseStale(now, frames);
        return Lines(frames);
    }
    std::vector<std::string> Finish() {
        std::vector<WireFrame> frames;
        decoder.Finish(frames);
        return Lines(frames);
    }

    WireDecoder decoder;

private:
    std::vector<std::string> Take(Direction from, const std::string& hex, long at_us) {
        std::vector<std::uint8_t> bytes;
        EXPECT_TRUE(ParseHex(hex, bytes)) << hex;
        std::vector<WireFrame> frames;
        decoder.Take(from, bytes.data(), bytes.size(), kStart + microseconds(at_us), frames);
        return Lines(frames);
    }
    static std::vector<std::string> Lines(const std::vector<WireFrame>& frames) {
        std::vector<std::string> lines;
        for (const WireFrame& frame : frames) {
            lines.push_back(Line(frame));
        }
        return lines;
    }
};

using Lines = std::vector<std::string>;

TEST(WireDecoder, JoinsAFrameSplitAcrossReadsWithTheTimeOfItsFirstByte) {
    Link link;
    EXPECT_EQ(link.Host("2a0000803f", 1000), Lines{});
    EXPECT_EQ(link.Host("0000003f000080be", 1500),
              Lines{"host @1000 2a0000803f0000003f000080be end_effector_force "
                    "{\"force\": [1, 0.5, -0.25]}"});
    EXPECT_EQ(link.Device("2b0000803e", 2000), Lines{});
    EXPECT_EQ(link.Device("00000000000000000000", 2100), Lines{});
    EXPECT_EQ(link.Device("00000000000000000000", 2200),
              Lines{"device @2000 2b0000803e0000000000000000000000000000000000000000 "
                    "state {\"position\": [0.25, 0, 0], \"velocity\": [0, 0, 0]}"});
}

TEST(WireDecoder, SplitsSeveralFramesInOneReadEachWithTheReadItBeganIn) {
    Link link;
    EXPECT_EQ(link.Host("acaa", 0),
              (Lines{"host @0 ac get_power_status {}", "host @0 aa get_temperature {}"}));
    EXPECT_EQ(link.Device("ac01aa00", 300), Lines{"device @300 ac01 power_status {\"status\": 1}"});
    EXPECT_EQ(link.Device("00c841ac", 400),
              Lines{"device @300 aa0000c841 temperature {\"temperature\": 25}"});
    EXPECT_EQ(link.Device("01", 500), Lines{"device @400 ac01 power_status {\"status\": 1}"});
}

TEST(WireDecoder, BytesThatStartNoFrameRunToTheNextFrameTheExchangeAllows) {
    Link link;
    link.Host("ac", 0);
    // 0b opens the arm's device_info, which does not answer get_power_status: the link is not
    // back in step there.
    EXPECT_EQ(link.Device("ee0bac01", 100), (Lines{"device @100 ee0b ! unknown code",
                                                   "device @100 ac01 power_status "
                                                   "{\"status\": 1}"}));
    // A request with a wrong sub-code waits for what follows, and ends when the device speaks.
    EXPECT_EQ(link.Host("0d99", 200), Lines{});
    EXPECT_EQ(link.Device("ee", 300), Lines{"host @200 0d99 ! unknown sub-code"});
    EXPECT_EQ(link.Finish(), Lines{"device @300 ee ! unknown code"});
}

TEST(WireDecoder, AFrameLeftIncompleteIsCutShort) {
    Link link;
    link.Host("aa", 0);
    // When the other side speaks.
    EXPECT_EQ(link.Device("aa0000", 100), Lines{});
    EXPECT_EQ(link.Host("ac", 200),
              (Lines{"device @100 aa0000 ! cut short", "host @200 ac get_power_status {}"}));
    EXPECT_EQ(link.decoder.NextTimeout(), std::nullopt);
    EXPECT_EQ(link.Device("ac", 300), Lines{});
    EXPECT_EQ(link.decoder.NextTimeout(), kStart + microseconds(300) + WireDecoder::kTimeout);
    EXPECT_EQ(link.Host("2a00", 400), Lines{"device @300 ac ! cut short"});
    // After the hosts' time-out, counted from the last byte that came.
    EXPECT_EQ(link.Host("00", 600), Lines{});
    const auto timeout = kStart + microseconds(600) + WireDecoder::kTimeout;
    EXPECT_EQ(link.decoder.NextTimeout(), timeout);
    EXPECT_EQ(link.CloseStale(timeout - microseconds(1)), Lines{});
    EXPECT_EQ(link.CloseStale(timeout), Lines{"host @400 2a0000 ! cut short"});
    EXPECT_EQ(link.decoder.NextTimeout(), std::nullopt);
    // At the end, whatever still waits.
    EXPECT_EQ(link.Device("0b01", 700), Lines{});
    EXPECT_EQ(link.Finish(), Lines{"device @700 0b01 ! cut short"});
    EXPECT_EQ(link.Finish(), Lines{});
}

TEST(WireDecoder, FindsTheDeviceFromTheFirstCodeThatBelongsToOne) {
    Link handle;
    handle.Host("0a", 0);
    EXPECT_EQ(handle.decoder.Kind(), std::nullopt) << "both devices wake on 0a";
    EXPECT_EQ(handle.Device("d0001701020103", 100),
              Lines{"device @100 d0001701020103 handle_info {\"tool_data_remaining\": 0, "
                    "\"device_id\": 279, \"device_model_number\": 2, \"hardware_version\": 1, "
                    "\"firmware_version\": 3}"});
    EXPECT_EQ(handle.decoder.Kind(), DeviceKind::Handle);

    Link arm;
    arm.Host("0a", 0);
    arm.Host("0c", 100);
    EXPECT_EQ(arm.decoder.Kind(), DeviceKind::Arm);
    // Once found it stays, whatever comes later.
    arm.Device("d0001701020103", 200);
    EXPECT_EQ(arm.decoder.Kind(), DeviceKind::Arm);
}

TEST(WireDecoder, DecodesCompactPacketsWithTheirEscapesApartFromStatusMessages) {
    Link link;
    link.Host("0a", 0);
    link.Device("d0001701020103", 100);
    // Data bytes c0 (in y's high byte and the sequence) and db (the battery) travel escaped.
    const std::string packet = "da000000a9170000000040000000dbdc0020dbdddbdcc0";
    EXPECT_EQ(link.Device(packet, 200),
              Lines{"device @200 " + packet +
                    " compact_status {\"device_id\": 23, \"sequence\": 192, \"quaternion\": "
                    "[0.5, 0, -0.5, 0.25], \"buttons\": 5, \"hall_effect_sensor_level\": 9, "
                    "\"battery_level\": 4.095, \"error_flag\": 0}"});
    // An escape of anything but END or ESC spoils a packet too short for a status message.
    EXPECT_EQ(link.Device("da0000dbff", 300), Lines{});
    EXPECT_EQ(link.Host("da", 400),
              (Lines{"device @300 da0000dbff ! bad escape", "host @400 da request_status {}"}));
    // A status request waiting for its answer, the handle's own id after da: a status message.
    EXPECT_EQ(link.Device("da170100090000803f00000000000000000000000000", 500),
              Lines{"device @500 da170100090000803f00000000000000000000000000 status_message "
                    "{\"device_id\": 279, \"error_flag\": 0, \"hall_effect_sensor_level\": 9, "
                    "\"quaternion\": [1, 0, 0, 0], \"user_data\": \"\"}"});
}

}  // namespace
