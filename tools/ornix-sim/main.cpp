// ornix-sim: virtual Ornix devices on pseudo-terminals, and a proxy that records the exchange
// with a real one and plays it back (see CommandLine.cpp for the usage).

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "CommandLine.h"
#include "DeviceServer.h"
#include "EventLoop.h"
#include "ProxyServer.h"
#include "ReplayServer.h"
#include "StandardInput.h"
#include "StopSignal.h"
#include "VirtualArm.h"
#include "VirtualHandle.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

std::unique_ptr<VirtualDevice> MakeDevice(const DeviceSetup& setup) {
    if (setup.kind == DeviceKind::Arm) {
        return std::make_unique<VirtualArm>(setup.device_id.value_or(VirtualArm::kDeviceId));
    }
    return std::make_unique<VirtualHandle>(setup.user_data, setup.compact_rate,
                                           setup.device_id.value_or(VirtualHandle::kDeviceId));
}

// The ready line of one port, flushed at once: a parent waits for it before it opens the port.
void Announce(const char* word, const std::string& port) {
    std::printf("%s %s\n", word, port.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Invocation invocation;
    try {
        invocation = CommandLine::Parse(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "ornix-sim: %s (see ornix-sim --help)\n", error.what());
        return kUsageStatus;
    }
    if (invocation.help) {
        std::fputs(CommandLine::HelpText(invocation.help_about).c_str(), stdout);
        return 0;
    }
    try {
        StopSignal stop;
        EventLoop loop(stop.Fd());
        std::vector<std::unique_ptr<DeviceServer>> servers;
        for (const DeviceSetup& setup : invocation.devices) {
            servers.push_back(std::make_unique<DeviceServer>(MakeDevice(setup), setup.faults,
                                                             setup.link, setup.latency));
            loop.Add(*servers.back());
            Announce(setup.kind == DeviceKind::Arm ? "arm" : "handle", servers.back()->PortPath());
        }
        std::unique_ptr<ProxyServer> proxy;
        std::unique_ptr<ReplayServer> replay;
        if (invocation.relay && invocation.relay->kind == RelaySetup::Kind::Proxy) {
            proxy = std::make_unique<ProxyServer>(*invocation.relay, stop);
            loop.Add(*proxy);
            Announce("proxy", proxy->PortPath());
        } else if (invocation.relay) {
            replay = std::make_unique<ReplayServer>(*invocation.relay);
            loop.Add(*replay);
            Announce("replay", replay->PortPath());
        }
        StandardInput input(stop);
        loop.Add(input);
        loop.Run();
        if (proxy && !proxy->Finish()) {
            return kFailureStatus;
        }
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "ornix-sim: %s\n", error.what());
        return kFailureStatus;
    }
    return 0;
}
