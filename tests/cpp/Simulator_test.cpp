// The library against ornix-sim, an independent implementation of the devices: what the Python
// class cannot reach (configuration values, error requests, detection in a directory of our
// own) and the fault modes, with devices built with short time-outs.
#include <gtest/gtest.h>
#include <unistd.h>

#include "Handle.h"
#include "Ostrel3.h"
#include "OutputCapture.h"
#include "SerialDeviceProvider.h"
#include "Simulator.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using IO::SerialStream;
using Testing::MillisecondsSince;
using Testing::OutputCapture;
using Testing::Simulator;
using Testing::TemporaryDirectory;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

class VirtualArm {
public:
    explicit VirtualArm(std::vector<std::string> options)
        : simulator(WithKind(std::move(options))),
          stream(simulator.Port("arm").c_str(), true),
          arm(&stream, Testing::kImpatientTimeout, &Testing::DoubleSpeedClock) {}

    Simulator simulator;
    SerialStream stream;
    Ostrel3 arm;

private:
    static std::vector<std::string> WithKind(std::vector<std::string> options) {
        options.insert(options.begin(), "arm");
        return options;
    }
};

bool Answered(Ostrel3& arm) { return arm.GetPowerStatus() == 1; }

TEST(VirtualArm, ConfigurationWritesAreKept) {
    VirtualArm device({});
    Ostrel3& arm = device.arm;
    const ConfigPair written = arm.SetConfigE1({7, 2.5f});
    EXPECT_EQ(written.value, 7);
    EXPECT_EQ(written.number, 2.5f);
    EXPECT_TRUE(arm.SetConfigE2(1));
    EXPECT_EQ(arm.SetConfigE3(9), 9);
    EXPECT_EQ(arm.GetConfigE1().number, 2.5f);
    EXPECT_TRUE(arm.GetConfigE2());
    EXPECT_EQ(arm.GetConfigE3(), 9);
    EXPECT_FALSE(arm.SetConfigE2(0));
    EXPECT_FALSE(arm.GetConfigE2());
    arm.RequestConfigE0();
    uint8_t e0 = 0;
    EXPECT_EQ(arm.ReceiveConfigE0(e0), 1);
}

class ErrorRecorder : public Handle {
public:
    using Handle::Handle;
    void OnReceiveHandleErrorResponse(uint16_t device_id, uint8_t) override {
        reported_id = device_id;
    }
    int reported_id = -1;
};

TEST(VirtualHandle, ErrorRequestsAreAnswered) {
    Simulator simulator({"handle"});
    SerialStream stream(simulator.Port("handle").c_str(), true);
    ErrorRecorder handle(&stream, Testing::kImpatientTimeout, &Testing::DoubleSpeedClock);
    handle.RequestError(0x0117);
    EXPECT_EQ(handle.Receive(), 3);
    EXPECT_EQ(handle.reported_id, 0x0117);
}

TEST(VirtualDevices, DetectionFindsThemThroughLinks) {
    TemporaryDirectory dev;
    Simulator simulator({"arm", "--link", dev.path + "/cu.usbmodemSIM1", "handle", "--link",
                         dev.path + "/cu.usbserialSIM2"});
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{dev.path + "/cu.usbmodemSIM1"});
    EXPECT_EQ(SerialDeviceProvider::DetectWiredHandles(dev.path),
              Paths{dev.path + "/cu.usbserialSIM2"});
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{dev.path + "/cu.usbserialSIM2"});
}

TEST(VirtualArmFaults, SilentArmCostsOneTimeOutPerExchange) {
    VirtualArm device({"--silent"});
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(device.arm.GetTemperature(), 0.0f);
    EXPECT_LT(MillisecondsSince(start), 1200);
    errors.Finish();
}

TEST(VirtualArmFaults, TruncatedReplyFailsAndTheArmComesBackIntoStep) {
    VirtualArm device({"--truncate-every", "3"});
    OutputCapture errors(STDERR_FILENO);
    EXPECT_TRUE(Answered(device.arm));
    EXPECT_TRUE(Answered(device.arm));
    EXPECT_FALSE(Answered(device.arm));  // half a reply: the payload wait runs out
    // The rest of the spoiled reply is read as a wrong code and discarded.
    int answered = 0;
    for (int i = 0; i < 4; ++i) {
        answered += Answered(device.arm) ? 1 : 0;
    }
    EXPECT_GE(answered, 2);
    EXPECT_NE(errors.Finish().find("Device.cpp:86> timeout waiting for payload"),
              std::string::npos);
}

TEST(VirtualArmFaults, WrongCodesAndGarbageCostOneExchangeEach) {
    for (const char* fault : {"--wrong-code-every", "--garbage-every"}) {
        VirtualArm device({fault, "2"});
        OutputCapture errors(STDERR_FILENO);
        std::vector<bool> answered;
        for (int i = 0; i < 6; ++i) {
            answered.push_back(Answered(device.arm));
        }
        EXPECT_EQ(answered, (std::vector<bool>{true, false, true, false, true, false})) << fault;
        EXPECT_EQ(errors.Finish(), "") << fault;
    }
}

TEST(VirtualArmFaults, UnpluggedArmKeepsFailingCleanly) {
    VirtualArm device({"--disconnect-after", "2"});
    EXPECT_TRUE(Answered(device.arm));
    EXPECT_TRUE(Answered(device.arm));
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        const DeviceState state = device.arm.EndEffectorForce({1, 0, 0});
        EXPECT_EQ(state.position, (Vector3{}));
    }
    EXPECT_LT(MillisecondsSince(start), 3 * 1200);
    EXPECT_NE(errors.Finish().find("timeout waiting for header code"), std::string::npos);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
