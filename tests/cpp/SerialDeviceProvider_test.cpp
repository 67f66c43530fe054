#include "SerialDeviceProvider.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "FakeDevice.h"
#include "OutputCapture.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::Devices {
namespace {

using Testing::Bytes;
using Testing::Concat;
using Testing::FakeDevice;
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

TEST(Detection, PortThatCannotBeOpenedCostsNoWait) {
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem9", "/nonexistent/port");
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    EXPECT_EQ(SerialDeviceProvider::DetectHandles(dev.path), Paths{});
    EXPECT_LT(MillisecondsSince(start), 500);
    EXPECT_NE(errors.Finish().find("SerialStream.cpp:38> unable to open port"), std::string::npos);
}

TEST(Detection, LateArmIsNotListedButItsQueryRunsToItsEnd) {
    FakeDevice arm;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem14101", arm.Path());
    arm.Expect({0x0A}).Reply(DeviceInfo(4), std::chrono::milliseconds(4000));
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    EXPECT_GE(MillisecondsSince(start), 3950);
    EXPECT_LT(MillisecondsSince(start), 5000);
}

TEST(Detection, SilentArmPortCostsOneTimeOut) {
    FakeDevice silent;
    TemporaryDirectory dev;
    dev.Link("cu.usbmodem14101", silent.Path());
    silent.Expect({0x0A});
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path), Paths{});
    EXPECT_GE(MillisecondsSince(start), 4900);
    EXPECT_LT(MillisecondsSince(start), 6500);
    const std::string text = errors.Finish();
    EXPECT_EQ(text.rfind("[err] Library/src/Device.cpp:57> timeout waiting for header code", 0),
              0u);
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

// A caller that wants the call to end once a moment has passed.
class CancelAfter : public Cancellation {
public:
    explicit CancelAfter(std::chrono::milliseconds delay) : at(Clock::now() + delay) {}
    bool Requested(bool) override { return Clock::now() >= at; }

private:
    Clock::time_point at;
};

TEST(Detection, CancellingStopsTheRunningQueryAndProbesNoMorePorts) {
    FakeDevice first, second;
    TemporaryDirectory dev;
    dev.Link("ttyACM0", first.Path());
    dev.Link("ttyACM1", second.Path());
    CancelAfter cancellation(std::chrono::milliseconds(300));
    OutputCapture errors(STDERR_FILENO);
    const auto start = Clock::now();
    EXPECT_EQ(SerialDeviceProvider::DetectOstrel3s(dev.path, &cancellation), Paths{});
    EXPECT_LT(MillisecondsSince(start), 3000);
    EXPECT_EQ(errors.Finish(), "");
    // Whichever port the listing gave first was probed; the other was not touched.
    EXPECT_EQ(first.Received().size() + second.Received().size(), 1u);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::Devices
