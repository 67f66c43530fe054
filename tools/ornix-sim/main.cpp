// ornix-sim: virtual Ornix devices on pseudo-terminals (see CommandLine.cpp for the usage).

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <system_error>
#include <vector>

#include "CommandLine.h"
#include "DeviceServer.h"
#include "StopSignal.h"
#include "SystemError.h"
#include "VirtualArm.h"
#include "VirtualHandle.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kSetupStatus = 1;

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
    pollfd watched[2] = {{stop.Fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    nfds_t watched_count = 2;
    while (true) {
        if (::poll(watched, watched_count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemError("cannot wait for a stop");
        }
        if (watched[0].revents != 0) {
            return;
        }
        if (watched_count == 2 && watched[1].revents != 0) {
            char dropped[256];
            const ssize_t count = ::read(STDIN_FILENO, dropped, sizeof dropped);
            if (count == 0) {
                return;
            }
            if (count < 0 && errno != EINTR && errno != EAGAIN) {
                watched_count = 1;
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
        std::fputs(CommandLine::HelpText(), stdout);
        return 0;
    }
    try {
        StopSignal stop;
        std::vector<std::unique_ptr<DeviceServer>> servers;
        for (const DeviceSetup& setup : invocation.devices) {
            servers.push_back(
                std::make_unique<DeviceServer>(MakeDevice(setup), setup.faults, setup.link, stop));
            std::printf("%s %s\n", setup.kind == DeviceKind::Arm ? "arm" : "handle",
                        servers.back()->PortPath().c_str());
            std::fflush(stdout);
        }
        WaitForStop(stop);
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "ornix-sim: %s\n", error.what());
        return kSetupStatus;
    }
    return 0;
}
