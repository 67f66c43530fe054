#include "SerialDeviceProvider.h"

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <iostream>
#include <memory>

namespace Ornix::HardwareAPI::Devices {

namespace {

using Type = SerialDeviceProvider::Type;

constexpr std::chrono::seconds kOstrel3ProbeWait(3);
constexpr std::chrono::seconds kHandleProbeWait(5);
// The probing thread looks at its query, and asks the caller's cancellation, this often.
constexpr std::chrono::milliseconds kProbeSlice(5);

struct NamePattern {
    const char* text;
    Type type;
};

// macOS call-out nodes: names beginning with "cu.", classified by what they contain.
constexpr const char* kCallOutPrefix = "cu.";
constexpr NamePattern kCallOutPatterns[] = {
    {"cu.usbmodem", Type::UsbModem},
    {"cu.usbserial", Type::UsbSerial},
    {"cu.Bluetooth-Incoming-Port", Type::BluetoothIncoming},
};
// Linux serial nodes, classified by how they begin.
constexpr NamePattern kLinuxPrefixes[] = {
    {"ttyACM", Type::UsbModem},
    {"ttyUSB", Type::UsbSerial},
    {"rfcomm", Type::BluetoothIncoming},
};

bool BeginsWith(const char* name, const char* prefix) {
    return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

// A directory listing, closed with the object.
class DirectoryListing {
public:
    explicit DirectoryListing(const std::string& path) : directory(opendir(path.c_str())) {}
    ~DirectoryListing() {
        if (directory != nullptr) {
            closedir(directory);
        }
    }
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    bool IsOpen() const { return directory != nullptr; }
    const dirent* Next() { return readdir(directory); }

private:
    DIR* directory;
};

// Keeps what the handle said of itself when it answered the wake-up: its info, or the device id
// of a status message.
class MyHandle : public Handle {
public:
    using Handle::Handle;

    // A whole exchange: what the handle sent before it was asked (the compact packets of a
    // handle that streams, read by no one meanwhile) cannot pass for its answer.
    void Wake() {
        BeginExchange();
        SendDeviceWakeup();
        Receive();
    }

    void OnReceiveHandleInfoRecord(const HandleInfo& info) override { found = info; }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& status) override {
        found = HandleInfo{};
        found->device_id = status.device_id;
    }

    std::optional<HandleInfo> found;
};

// Carries a cancellation from the probing thread to the query's waits.
class StopFlag : public Cancellation {
public:
    bool Requested(bool) override { return stopped.load(); }
    void Stop() { stopped.store(true); }

private:
    std::atomic<bool> stopped{false};
};

bool Cancelled(Cancellation* cancellation, bool signalled) {
    return cancellation != nullptr && cancellation->Requested(signalled);
}

template <typename Probe>
std::vector<std::string> Detect(const std::string& directory, Probe probe,
                                SerialDeviceProvider::Detection detection,
                                Cancellation* cancellation) {
    std::vector<std::string> found;
    for (const auto& [path, type] : SerialDeviceProvider::ListPorts(directory)) {
        if (Cancelled(cancellation, false)) {
            break;
        }
        if (SerialDeviceProvider::Considers(detection, type) && probe(path.c_str(), cancellation)) {
            found.push_back(path);
        }
    }
    return found;
}

// Runs the query on a thread of its own; its answer counts only within `wait`, but the query
// always runs to its end before the probe returns.
int Probe(int (*query)(const char*, Cancellation*), const char* port, std::chrono::seconds wait,
          Cancellation* cancellation) {
    using SteadyClock = std::chrono::steady_clock;
    StopFlag stop;
    std::future<int> answer = std::async(std::launch::async, query, port, &stop);
    const auto deadline = SteadyClock::now() + wait;
    bool in_time = true;
    // The wait is made in pauses that a signal ends, so that a cancellation that looks only
    // after signals learns of them.
    while (answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        in_time = SteadyClock::now() < deadline;
        const bool signalled =
            IO::SerialStream::Pause(kProbeSlice) == IO::SerialStream::InputWait::Interrupted;
        if (!stop.Requested(false) && Cancelled(cancellation, signalled)) {
            stop.Stop();
        }
    }
    if (!in_time || stop.Requested(false)) {
        static_cast<void>(answer.get());
        return 0;
    }
    try {
        return answer.get();
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 0;
    }
}

}  // namespace

SerialDeviceProvider::PortList SerialDeviceProvider::ListPorts(const std::string& directory) {
    PortList ports;
    DirectoryListing listing(directory);
    if (!listing.IsOpen()) {
        std::printf("unable to open %s", directory.c_str());
        std::fflush(stdout);
        return ports;
    }
    while (const dirent* entry = listing.Next()) {
        if (const std::optional<Type> type = Classify(entry->d_name)) {
            ports.emplace_back(directory + "/" + entry->d_name, *type);
        }
    }
    return ports;
}

std::optional<Type> SerialDeviceProvider::Classify(const std::string& name) {
    // First match wins.
    if (BeginsWith(name.c_str(), kCallOutPrefix)) {
        for (const NamePattern& pattern : kCallOutPatterns) {
            if (name.find(pattern.text) != std::string::npos) {
                return pattern.type;
            }
        }
        return std::nullopt;
    }
    for (const NamePattern& pattern : kLinuxPrefixes) {
        if (BeginsWith(name.c_str(), pattern.text)) {
            return pattern.type;
        }
    }
    return std::nullopt;
}

bool SerialDeviceProvider::Considers(Detection detection, Type type) {
    switch (detection) {
        case Detection::Ostrel3s:
            return type == Type::UsbModem;
        case Detection::Handles:
            return true;
        case Detection::WiredHandles:
            return type == Type::UsbSerial;
        case Detection::WirelessHandles:
            return type == Type::BluetoothIncoming;
    }
    return false;
}

std::vector<std::string> SerialDeviceProvider::DetectOstrel3s(const std::string& directory,
                                                              Cancellation* cancellation) {
    return Detect(directory, ProbeOstrel3, Detection::Ostrel3s, cancellation);
}

std::vector<std::string> SerialDeviceProvider::DetectHandles(const std::string& directory,
                                                             Cancellation* cancellation) {
    return Detect(directory, ProbeHandle, Detection::Handles, cancellation);
}

std::vector<std::string> SerialDeviceProvider::DetectWiredHandles(const std::string& directory,
                                                                  Cancellation* cancellation) {
    return Detect(directory, ProbeHandle, Detection::WiredHandles, cancellation);
}

std::vector<std::string> SerialDeviceProvider::DetectWirelessHandles(const std::string& directory,
                                                                     Cancellation* cancellation) {
    return Detect(directory, ProbeHandle, Detection::WirelessHandles, cancellation);
}

int SerialDeviceProvider::ProbeOstrel3(const char* port, Cancellation* cancellation) {
    return Probe(QueryOstrel3, port, kOstrel3ProbeWait, cancellation);
}

bool SerialDeviceProvider::ProbeHandle(const char* port, Cancellation* cancellation) {
    return Probe(QueryHandle, port, kHandleProbeWait, cancellation) != 0;
}

int SerialDeviceProvider::QueryOstrel3(const char* port, Cancellation* cancellation) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != IO::serialib::kOpened) {
            return 0;
        }
        const bool found = WakeOstrel3(stream, cancellation).has_value();
        stream.Close();
        return found ? 1 : 0;
    } catch (const std::exception& error) {
        std::printf("exception: %s\n", error.what());
        std::fflush(stdout);
        return 0;
    }
}

int SerialDeviceProvider::QueryHandle(const char* port, Cancellation* cancellation) {
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != IO::serialib::kOpened) {
            return 0;
        }
        const bool found = WakeHandle(stream, cancellation).has_value();
        stream.Close();
        return found ? 1 : 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << std::endl;
        return 0;
    }
}

std::optional<DeviceInfo> SerialDeviceProvider::WakeOstrel3(IO::SerialStream& stream,
                                                            Cancellation* cancellation,
                                                            Device::Clock clock) {
    Ostrel3 arm(&stream, Device::kReplyTimeout, clock);
    arm.SetCancellation(cancellation);
    // A whole exchange: what an earlier user of the port left unread cannot pass for the answer.
    const DeviceInfo info = arm.DeviceWakeup();
    if (info.device_model_number != Ostrel3::kModelNumber) {
        return std::nullopt;
    }
    return info;
}

std::optional<HandleInfo> SerialDeviceProvider::WakeHandle(IO::SerialStream& stream,
                                                           Cancellation* cancellation,
                                                           Device::Clock clock) {
    MyHandle handle(&stream, Device::kReplyTimeout, clock);
    handle.SetCancellation(cancellation);
    handle.Wake();
    return handle.found;
}

}  // namespace Ornix::HardwareAPI::Devices
