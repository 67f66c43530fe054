#include "SerialDeviceProvider.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "FakeDevice.h"
#include "MemoryLink.h"
#include "OutputCapture.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using Testing::Bytes;
using Testing::Concat;
using Testing::FakeDevice;
using Testing::MemoryLink;
using Testing::MillisecondsSince;
using Testing::OutputCapture;
using Testing::TemporaryDirectory;
using Type = SerialDeviceProvider::Type;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

Bytes DeviceInfo(uint8_t model) {
    return Concat({{0x0B, 0x01, 0x00, model, 0x01, 0x01}, Bytes(16, 0xAB)});
}

const Bytes kHandleInfo = {0xD0, 0x05, 0x34, 0x12, 0x04, 0x02, 0x07};

// The ports of a listing whose type is `type`, in listing order.
Paths OfType(const SerialDeviceProvider::PortList& ports, Type type) {
    Paths paths;
    for (const auto& [path, port_type] : ports) {
        if (port_type == type) {
            paths.push_back(path);
        }
    }
    return paths;
}

TEST(ListPorts, KeepsTheCallOutPortsOfTheThreeKindsInDirectoryOrder) {
    TemporaryDirectory dev;
    for (const char* name : {"cu.usbmodem14101", "cu.Bluetooth-Incoming-Port", "cu.debug-console",
                             "tty.usbmodem14101", "cu.usbserial-A50285BI"}) {
        dev.Link(name, "/dev/null");
    }
    OutputCapture output(STDOUT_FILENO);
    const auto ports = SerialDeviceProvider::ListPorts(dev.path);
    EXPECT_EQ(output.Finish(), "");
    ASSERT_EQ(ports.size(), 3u);
    using Entries = std::set<std::pair<std::string, Type>>;
    const Entries expected = {
        {dev.path + "/cu.usbmodem14101", Type::UsbModem},
        {dev.path + "/cu.Bluetooth-Incoming-Port", Type::BluetoothIncoming},
        {dev.path + "/cu.usbserial-A50285BI", Type::UsbSerial},
    };
    EXPECT_EQ(Entries(ports.begin(), ports.end()), expected);

    // Directory order, as the system lists the entries: compare with a listing of our own.
    Paths listed;
    DIR* directory = opendir(dev.path.c_str());
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.rfind("cu.usb", 0) == 0 || name.rfind("cu.Bluetooth", 0) == 0) {
            listed.push_back(dev.path + "/" + name);
        }
    }
    closedir(directory);
    Paths in_order;
    for (const auto& port : ports) {
        in_order.push_back(port.first);
    }
    EXPECT_EQ(in_order, listed);
}

TEST(ListPorts, PatternsMatchAnywhereAfterThePrefix) {
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem", "/dev/null");
    dev.Link("cu.x-cu.usbserial", "/dev/null");
    const auto ports = SerialDeviceProvider::ListPorts(dev.path);
    EXPECT_EQ(OfType(ports, Type::UsbModem), Paths{dev.path + "/cu.usbmodem"});
    EXPECT_EQ(OfType(ports, Type::UsbSerial), Paths{dev.path + "/cu.x-cu.usbserial"});
}

TEST(ListPorts, LinuxSerialNodesAreListedToo) {
    TemporaryDirectory dev;
    for (const char* name : {"ttyACM0", "ttyUSB1", "rfcomm0", "ttyS0", "tty.usbmodem1", "tty1"}) {
        dev.Link(name, "/dev/null");
    }
    const auto ports = SerialDeviceProvider::ListPorts(dev.path);
    EXPECT_EQ(ports.size(), 3u);
    EXPECT_EQ(OfType(ports, Type::UsbModem), Paths{dev.path + "/ttyACM0"});
    EXPECT_EQ(OfType(ports, Type::UsbSerial), Paths{dev.path + "/ttyUSB1"});
    EXPECT_EQ(OfType(ports, Type::BluetoothIncoming), Paths{dev.path + "/rfcomm0"});
}

TEST(ListPorts, NoCandidatesGiveNothingAndPrintNothing) {
    TemporaryDirectory dev;
    dev.Link("tty.usbserial", "/dev/null");
    dev.Link("console", "/dev/null");
    OutputCapture output(STDOUT_FILENO);
    EXPECT_TRUE(SerialDeviceProvider::ListPorts(dev.path).empty());
    EXPECT_EQ(output.Finish(), "");
}

TEST(ListPorts, UnreadableDirectoryIsReported) {
    OutputCapture output(STDOUT_FILENO);
    EXPECT_TRUE(SerialDeviceProvider::ListPorts("/nonexistent/dev").empty());
    EXPECT_EQ(output.Finish(), "unable to open /nonexistent/dev");
}

TEST(Detection, ArmWithModelNumberFourIsAnArmAndNoHandle) {
    FakeDevice arm;
    TemporaryDirectory dev;
    const std::string port = dev.Link("cu.usbmodem14101", arm.Path());
    arm.Expect({0x0A}).Reply(DeviceInfo(4));
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{port});
    arm.Expect({0x0A}).Reply(DeviceInfo(4));
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{});
}

TEST(Detection, OtherModelNumbersAreNoArm) {
    FakeDevice arm;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem14101", arm.Path());
    arm.Expect({0x0A}).Reply(DeviceInfo(3));
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
}

TEST(Detection, WiredHandleIsFoundByTheWiredAndTheGeneralSearch) {
    FakeDevice handle;
    TemporaryDirectory dev;
    const std::string port = dev.Link("cu.usbserial-A50285BI", handle.Path());
    handle.Expect({0x0A}).Reply(kHandleInfo);
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{port});
    handle.Expect({0x0A}).Reply(kHandleInfo);
    EXPECT_EQ(SerialDeviceProvider::DetectWiredHandles(dev.path), Paths{port});
    EXPECT_EQ(SerialDeviceProvider::DetectWirelessHandles(dev.path), Paths{});
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
}

TEST(Detection, ArmAndHandleSideBySideAreEachFoundOnlyByTheirOwnSearches) {
    FakeDevice arm, handle;
    TemporaryDirectory dev;
    const std::string arm_port = dev.Link("cu.usbmodemSIM1", arm.Path());
    const std::string handle_port = dev.Link("cu.usbserialSIM2", handle.Path());
    arm.Expect({0x0A}).Reply(DeviceInfo(4));
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{arm_port});
    handle.Expect({0x0A}).Reply(kHandleInfo);
    EXPECT_EQ(SerialDeviceProvider::DetectWiredHandles(dev.path), Paths{handle_port});
    // The general search probes the arm's port too, and the arm's answer is no handle's.
    arm.Expect({0x0A}).Reply(DeviceInfo(4));
    handle.Expect({0x0A}).Reply(kHandleInfo);
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{handle_port});
}

TEST(Detection, HandleAnsweringWithAStatusMessageIsAHandle) {
    FakeDevice handle;
    TemporaryDirectory dev;
    const std::string port = dev.Link("cu.Bluetooth-Incoming-Port", handle.Path());
    handle.Expect({0x0A}).Reply(Concat({{0xDA}, Bytes(20, 0x00), {0x00}}));
    EXPECT_EQ(SerialDeviceProvider::DetectWirelessHandles(dev.path), Paths{port});
}

TEST(Detection, HandleAnsweringWithAnErrorIsNotListed) {
    FakeDevice handle;
    TemporaryDirectory dev;
    dev.Link("cu.usbserial-1", handle.Path());
    handle.Expect({0x0A}).Reply({0xDF, 0x01, 0x00, 0x07});
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{});
}

TEST(Detection, TwoArmsComeBackInListOrder) {
    FakeDevice first, second;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem1", first.Path());
    dev.Link("cu.usbmodem2", second.Path());
    first.Expect({0x0A}).Reply(DeviceInfo(4));
    second.Expect({0x0A}).Reply(DeviceInfo(4));
    const Paths listed = OfType(SerialDeviceProvider::ListPorts(dev.path), Type::UsbModem);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), listed);
}

// The wake-ups behind the probes, over an in-memory link on its virtual clock.
TEST(WakeUp, AnArmTellsItsInfoAndAnotherModelIsNoArm) {
    MemoryLink link;
    link.Expect({0x0A}).Reply(DeviceInfo(4));
    const auto info = SerialDeviceProvider::WakeOstrel3(link, nullptr, &MemoryLink::Clock);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->device_id, 1);
    EXPECT_EQ(info->device_model_number, 4);
    EXPECT_EQ(Bytes(info->device_id_ext.data.begin(), info->device_id_ext.data.end()),
              Bytes(16, 0xAB));
    link.Expect({0x0A}).Reply(DeviceInfo(3));
    EXPECT_FALSE(SerialDeviceProvider::WakeOstrel3(link, nullptr, &MemoryLink::Clock));
    // What an earlier user of the port left unread is not taken for the answer.
    link.Arrive({0xAA, 0x00, 0x00, 0xC8, 0x41});
    link.Expect({0x0A}).Reply(DeviceInfo(4));
    EXPECT_TRUE(SerialDeviceProvider::WakeOstrel3(link, nullptr, &MemoryLink::Clock));
}

TEST(WakeUp, AHandleTellsItsInfoOrTheIdOfItsStatusButAnErrorIsNoAnswer) {
    MemoryLink link;
    link.Expect({0x0A}).Reply(kHandleInfo);
    const auto info = SerialDeviceProvider::WakeHandle(link, nullptr, &MemoryLink::Clock);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->device_id, 0x1234);
    EXPECT_EQ(info->device_model_number, 4);
    EXPECT_EQ(info->firmware_version, 7);
    link.Expect({0x0A}).Reply(Concat({{0xDA, 0x79, 0x02, 0x00, 0x10}, Bytes(16, 0x00), {0x00}}));
    const auto status = SerialDeviceProvider::WakeHandle(link, nullptr, &MemoryLink::Clock);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->device_id, 0x0279);
    EXPECT_EQ(status->device_model_number, 0);
    link.Expect({0x0A}).Reply({0xDF, 0x34, 0x12, 0x01});
    EXPECT_FALSE(SerialDeviceProvider::WakeHandle(link, nullptr, &MemoryLink::Clock));
    // What a streaming handle sent before it was asked (a status-message code in a compact
    // packet among them) is not taken for the answer.
    link.Arrive({0xC0, 0xDA, 0x00, 0x00, 0x10, 0xC0});
    link.Expect({0x0A}).Reply(kHandleInfo);
    const auto woken = SerialDeviceProvider::WakeHandle(link, nullptr, &MemoryLink::Clock);
    ASSERT_TRUE(woken.has_value());
    EXPECT_EQ(woken->device_id, 0x1234);
}

// A port whose device floods it finds bytes waiting at every look: the arm's wake-up still ends
// within its time-out, and at once once the probe is cancelled; the handle's reads one message.
TEST(WakeUp, AFloodingDeviceIsGivenUpOnWithinTheTimeOut) {
    MemoryLink link;
    link.Flood({0x99});
    auto start = link.Now();
    EXPECT_FALSE(SerialDeviceProvider::WakeOstrel3(link, nullptr, &MemoryLink::Clock));
    EXPECT_LT(link.Now() - start, std::chrono::seconds(6) + std::chrono::milliseconds(100));

    start = link.Now();
    Testing::CancelAt cancellation(link, start + std::chrono::milliseconds(200));
    EXPECT_FALSE(SerialDeviceProvider::WakeOstrel3(link, &cancellation, &MemoryLink::Clock));
    EXPECT_LT(link.Now() - start, std::chrono::milliseconds(250));

    start = link.Now();
    EXPECT_FALSE(SerialDeviceProvider::WakeHandle(link, nullptr, &MemoryLink::Clock));
    EXPECT_LT(link.Now() - start, std::chrono::milliseconds(10));
}

// The probe's own wait is three seconds for an arm and five for a handle: both searches together
// end long before either, however busy the machine.
TEST(Detection, PortThatCannotBeOpenedCostsNoWait) {
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem9", "/nonexistent/port");
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{});
    EXPECT_LT(MillisecondsSince(start), 2500);
    EXPECT_NE(errors.Finish().find("SerialStream.cpp:38> unable to open port"), std::string::npos);
}

// The answer comes four seconds after the wake-up, past the probe's three-second wait and within
// the arm's time-out. The probe's wait has no seam for a clock, so real time is measured, but
// only from before the wake-up: the reply cannot come sooner, and a busy machine only makes the
// call longer. The upper bound only tells a call that ended from one left waiting.
TEST(Detection, LateArmIsNotListedButItsQueryRunsToItsEnd) {
    FakeDevice arm;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem14101", arm.Path());
    arm.Expect({0x0A}).Reply(DeviceInfo(4), std::chrono::milliseconds(4000));
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    EXPECT_GE(MillisecondsSince(start), 4000);
    EXPECT_LT(MillisecondsSince(start), 30000);
}

TEST(Detection, SilentArmPortCostsOneTimeOut) {
    FakeDevice silent;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem14101", silent.Path());
    silent.Expect({0x0A});
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    // The arm's whole time-out of five seconds, begun after `start`, and one time-out only: two
    // would take ten seconds at least.
    EXPECT_GE(MillisecondsSince(start), 5000);
    EXPECT_LT(MillisecondsSince(start), 10000);
    const std::string text = errors.Finish();
    EXPECT_EQ(text.rfind("[err] Library/src/Device.cpp:57> timeout waiting for header code", 0),
              0u);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

// A caller that wants the call to end once the first silent port has had the wake-up: an event,
// not a moment, so that how fast the machine runs changes nothing.
class CancelOnceWoken : public Cancellation {
public:
    CancelOnceWoken(const FakeDevice& first, const FakeDevice& second)
        : first(first), second(second) {}
    bool Requested(bool) override {
        return !first.Received().empty() || !second.Received().empty();
    }

private:
    const FakeDevice& first;
    const FakeDevice& second;
};

// Uncancelled, the first silent port alone would cost the arm's whole time-out of five seconds.
TEST(Detection, CancellingStopsTheRunningQueryAndProbesNoMorePorts) {
    FakeDevice first, second;
    TemporaryDirectory dev;
    dev.Link("ttyACM0", first.Path());
    dev.Link("ttyACM1", second.Path());
    CancelOnceWoken cancellation(first, second);
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path, &cancellation), Paths{});
    EXPECT_LT(MillisecondsSince(start), 4500);
    EXPECT_EQ(errors.Finish(), "");
    // Whichever port the listing gave first was probed; the other was not touched.
    EXPECT_EQ(first.Received().size() + second.Received().size(), 1u);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
