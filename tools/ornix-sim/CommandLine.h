#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "FaultInjector.h"

enum class DeviceKind { Arm, Handle };

struct DeviceSetup {
    DeviceKind kind;
    // Empty for no link.
    std::string link;
    FaultSettings faults;
    // Compact packets per second, 0 for none.
    double compact_rate = 0;
    std::vector<std::uint8_t> user_data;
};

struct Invocation {
    bool help = false;
    std::vector<DeviceSetup> devices;
};

// A command line that cannot be served; its text is the one-line reason.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads ornix-sim's command line: global options, then one or two device words, each followed
// by the options of that device.
class CommandLine {
public:
    static Invocation Parse(int argc, const char* const* argv);
    static const char* HelpText();
};
