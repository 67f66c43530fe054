// ornix-sim: virtual Ornix devices on pseudo-terminals, and a proxy that records the exchange
// with a real one and plays it back (see CommandLine.cpp for the usage).

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "CommandLine.h"
#include "DeviceServer.h"
#include "ProxyServer.h"
#include "ReplayServer.h"
#include "StopSignal.h"
#include "SystemError.h"
#include "VirtualArm.h"
#include "VirtualHandle.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;

std::unique_ptr<VirtualDevice> MakeDevice(const DeviceSetup& setup) {
    if (setup.kind == DeviceKind::Arm) {
        return std::make_unique<VirtualArm>();
    }
    return std::make_unique<VirtualHandle>(setup.user_data, setup.compact_rate);
}

// Returns once a stop is requested or standard input reaches end of file. Input is read and
// dropped so that a parent can hold the pipe open without filling it.
void WaitForStop(StopSignal& stop) {
    // A background job reading its terminal would be stopped; with this the read fails and
    // only signals are watched from then on.
    std::signal(SIGTTIN, SIG_IGN);
    // select, not poll: standard input may be a terminal, which macOS cannot poll. A closed
    // standard input is not watched at all.
    bool watch_input = ::fcntl(STDIN_FILENO, F_GETFD) != -1;
    while (true) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(stop.Fd(), &readable);
        if (watch_input) {
            FD_SET(STDIN_FILENO, &readable);
        }
        if (::select(std::max(stop.Fd(), STDIN_FILENO) + 1, &readable, nullptr, nullptr, nullptr) <
            0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemError("cannot wait for a stop");
        }
        if (FD_ISSET(stop.Fd(), &readable)) {
            return;
        }
        if (watch_input && FD_ISSET(STDIN_FILENO, &readable)) {
            char dropped[256];
            const ssize_t count = ::read(STDIN_FILENO, dropped, sizeof dropped);
            if (count == 0) {
                return;
            }
            if (count < 0 && errno != EINTR && errno != EAGAIN) {
                watch_input = false;
            }
        }
    }
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
        std::vector<std::unique_ptr<DeviceServer>> servers;
        for (const DeviceSetup& setup : invocation.devices) {
            servers.push_back(std::make_unique<DeviceServer>(MakeDevice(setup), setup.faults,
                                                             setup.link, setup.latency, stop));
            std::printf("%s %s\n", setup.kind == DeviceKind::Arm ? "arm" : "handle",
                        servers.back()->PortPath().c_str());
            std::fflush(stdout);
        }
        std::unique_ptr<ProxyServer> proxy;
        std::unique_ptr<ReplayServer> replay;
        if (invocation.relay && invocation.relay->kind == RelaySetup::Kind::Proxy) {
            proxy = std::make_unique<ProxyServer>(*invocation.relay, stop);
            std::printf("proxy %s\n", proxy->PortPath().c_str());
            std::fflush(stdout);
        } else if (invocation.relay) {
            replay = std::make_unique<ReplayServer>(*invocation.relay, stop);
            std::printf("replay %s\n", replay->PortPath().c_str());
            std::fflush(stdout);
        }
        WaitForStop(stop);
        if (proxy && !proxy->Finish()) {
            return kFailureStatus;
        }
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "ornix-sim: %s\n", error.what());
        return kFailureStatus;
    }
    return 0;
}
