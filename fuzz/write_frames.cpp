// Fuzzes the write path of a frame, from the arm's send-only requests through SerialStream::Write
// and the port's stream buffer down to write(2), on a simulated line whose answers come from the
// input: how many bytes each write takes, when it is refused with EAGAIN, interrupted or fails,
// and when a wait for room ends. Each frame must reach the line whole and in order, or as a
// prefix of itself with the failure kept in the stream state, within the port's budgets.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "Ostrel3.h"
#include "SerialStream.h"
#include "SimulatedLine.h"

using Ornix::Fuzzing::Decisions;
using Ornix::Fuzzing::SimulatedLine;
using namespace Ornix::HardwareAPI;
using namespace Ornix::HardwareAPI::Devices;

namespace {

// The port gives a block a second to go out; once it has begun, five in all.
constexpr uint64_t kBudgetUs = 1000000;
constexpr uint64_t kBegunBlockBudgetUs = 5 * kBudgetUs;
// The port's budgets are counted in whole milliseconds: a wait may end within one of its end.
constexpr uint64_t kBudgetGrainUs = 1000;

// One stream on one line for the whole run; time passes only while the port waits.
struct Line {
    SimulatedLine line{0};
    IO::SerialStream stream{line.Path(), true};
};

Line& TheLine() {
    static Line line;
    return line;
}

Device::Microseconds LineTime() {
    return Device::Microseconds(static_cast<int64_t>(TheLine().line.NowUs()));
}

void Require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

float NextFloat(Decisions& decisions) {
    uint8_t bytes[4];
    for (uint8_t& byte : bytes) {
        byte = decisions.Next();
    }
    float value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

Vector3 NextVector(Decisions& decisions) {
    return {NextFloat(decisions), NextFloat(decisions), NextFloat(decisions)};
}

// The frame as the arm's message set lays it out: a code, sub-codes, little-endian values.
class Frame {
public:
    Frame(std::initializer_list<uint8_t> codes) : bytes(codes) {}
    Frame& Add(float value) {
        uint8_t little_endian[4];
        std::memcpy(little_endian, &value, sizeof value);
        bytes.insert(bytes.end(), little_endian, little_endian + 4);
        return *this;
    }
    Frame& Add(const Vector3& values) {
        for (float value : values) {
            Add(value);
        }
        return *this;
    }
    Frame& Add(uint8_t value) {
        bytes.push_back(value);
        return *this;
    }

    std::vector<uint8_t> bytes;
};

// Sends one request the input picks, and returns the frame it must have written.
std::vector<uint8_t> SendRequest(Ostrel3& arm, uint8_t request, Decisions& decisions) {
    switch (request % 8) {
        case 0:
            arm.SendDeviceWakeup();
            return Frame{0x0A}.bytes;
        case 1:
            arm.RequestDeviceId();
            return Frame{0x0D, 0xD1}.bytes;
        case 2:
            arm.RequestCurrent();
            return Frame{0xAB}.bytes;
        case 3: {
            const Vector3 torques = NextVector(decisions);
            arm.SendJointTorques(torques);
            return Frame{0x1A}.Add(torques).bytes;
        }
        case 4: {
            const Vector3 position = NextVector(decisions);
            arm.SendPosition(position);
            return Frame{0x2C}.Add(position).bytes;
        }
        case 5: {
            const uint8_t value = decisions.Next();
            const float number = NextFloat(decisions);
            arm.RequestConfigE1(value, number);
            return Frame{0x0E, 0xE1, 0x01}.Add(value).Add(number).bytes;
        }
        case 6: {
            const uint8_t value = decisions.Next();
            arm.RequestConfigE3(value);
            return Frame{0x0E, 0xE3, 0x01}.Add(value).bytes;
        }
        default:
            arm.RequestConfigE1();
            return Frame{0x0E, 0xE1, 0x00}.bytes;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Line& line = TheLine();
    Decisions decisions(data, size);
    line.line.Restart(&decisions);
    Ostrel3 arm(&line.stream, Device::kReplyTimeout, &LineTime);
    for (int round = 0; round < 16 && !decisions.Done(); ++round) {
        const size_t before = line.line.Written().size();
        const size_t failures_before = line.line.Failures();
        const uint64_t began = line.line.NowUs();
        const std::vector<uint8_t> frame = SendRequest(arm, decisions.Next(), decisions);
        const uint64_t spent = line.line.NowUs() - began;
        const std::vector<uint8_t>& written = line.line.Written();
        const size_t sent = written.size() - before;

        // Never more than the frame, never out of order, never a byte twice.
        Require(sent <= frame.size());
        Require(std::equal(written.begin() + static_cast<std::ptrdiff_t>(before), written.end(),
                           frame.begin()));
        const uint64_t budget = sent == 0 ? kBudgetUs : kBegunBlockBudgetUs;
        Require(spent < budget + kBudgetGrainUs);
        if (sent == frame.size()) {
            Require(line.stream.good());
        } else {
            Require(!line.stream.good());
            // Short of a failed write, the port gives up only once the budget is spent.
            Require(line.line.Failures() > failures_before || spent >= budget);
        }
    }
    line.line.Restart(nullptr);
    return 0;
}
