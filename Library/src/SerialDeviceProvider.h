// Finds the attached devices: lists the serial ports that can carry one, sorted by kind of link,
// and probes them one after another for a haptic arm or a handle answering its wake-up.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Cancellation.h"
#include "Handle.h"
#include "Ostrel3.h"
#include "SerialStream.h"

namespace Ornix::HardwareAPI::Devices {

class SerialDeviceProvider {
public:
    enum class Type { UsbModem = 1, UsbSerial = 2, BluetoothIncoming = 3 };
    using PortList = std::vector<std::pair<std::string, Type>>;
    // The searches, each after the devices of its kind.
    enum class Detection { Ostrel3s, Handles, WiredHandles, WirelessHandles };

    // The kind of port a directory entry named `name` is: macOS call-out nodes (cu.*) by what
    // their name contains, Linux nodes by how it begins; nothing for an entry no detection
    // probes.
    static std::optional<Type> Classify(const std::string& name);
    // Whether `detection` probes the ports of `type`.
    static bool Considers(Detection detection, Type type);

    // The candidate ports of `directory`, in the order the directory lists them: the call-out
    // nodes cu.usbmodem*, cu.usbserial* and cu.Bluetooth-Incoming-Port of macOS, then the
    // ttyACM*, ttyUSB* and rfcomm* nodes of Linux.
    static PortList ListPorts(const std::string& directory = "/dev");

    // The ports of `directory` on which a device of the kind answers, in list order. When
    // `cancellation` (borrowed; null for none) asks for it, the running query is stopped and the
    // ports found so far are returned.
    static std::vector<std::string> DetectOstrel3s(const std::string& directory = "/dev",
                                                   Cancellation* cancellation = nullptr);
    static std::vector<std::string> DetectHandles(const std::string& directory = "/dev",
                                                  Cancellation* cancellation = nullptr);
    static std::vector<std::string> DetectWiredHandles(const std::string& directory = "/dev",
                                                       Cancellation* cancellation = nullptr);
    static std::vector<std::string> DetectWirelessHandles(const std::string& directory = "/dev",
                                                          Cancellation* cancellation = nullptr);

    // A query on a thread of its own whose answer counts only if it comes within the probe's
    // wait; the probe returns once the query has ended either way. A cancellation stops the
    // query's waits, and its answer does not count.
    static int ProbeOstrel3(const char* port, Cancellation* cancellation = nullptr);
    static bool ProbeHandle(const char* port, Cancellation* cancellation = nullptr);
    // 1 when a device of the kind answers the wake-up on the port, else 0. The device's waits
    // ask `cancellation`.
    static int QueryOstrel3(const char* port, Cancellation* cancellation = nullptr);
    static int QueryHandle(const char* port, Cancellation* cancellation = nullptr);

    // The wake-ups behind the queries, on a stream already open: what the device said of
    // itself when one of the kind answered. A handle may answer with a status message first,
    // which tells only its device id. The device's waits are measured on `clock`.
    static std::optional<DeviceInfo> WakeOstrel3(IO::SerialStream& stream,
                                                 Cancellation* cancellation = nullptr,
                                                 Device::Clock clock = &Device::SystemTime);
    static std::optional<HandleInfo> WakeHandle(IO::SerialStream& stream,
                                                Cancellation* cancellation = nullptr,
                                                Device::Clock clock = &Device::SystemTime);
};

}  // namespace Ornix::HardwareAPI::Devices
