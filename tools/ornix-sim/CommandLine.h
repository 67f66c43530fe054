#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DeviceKind.h"
#include "FaultInjector.h"
#include "LinkLatency.h"
#include "RelaySetup.h"

struct DeviceSetup {
    DeviceKind kind;
    // Empty for no link.
    std::string link;
    FaultSettings faults;
    // Compact packets per second, 0 for none.
    double compact_rate = 0;
    std::vector<std::uint8_t> user_data;
    // Nothing for messages handed over as soon as they are ready.
    std::optional<LinkModel> latency;
    // --seed as given, whichever comes first of it and --latency; Parse puts it in `latency`.
    std::optional<std::uint32_t> seed;
    // The device id it reports; nothing for its kind's own.
    std::optional<std::uint16_t> device_id;
};

// The words that start what ornix-sim serves, each with a help of its own.
enum class Command { Arm, Handle, Proxy, Replay };

struct Invocation {
    bool help = false;
    // The command whose help was asked for after it; nothing for the whole help.
    std::optional<Command> help_about;
    std::vector<DeviceSetup> devices;
    // Served alone: set only when `devices` is empty.
    std::optional<RelaySetup> relay;
};

// A command line that cannot be served; its text is the one-line reason.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads ornix-sim's command line: global options, then one or two device words, each followed
// by the options of that device, or else one proxy or replay word with its own. -h or --help
// anywhere asks for the help of the command it follows, or for the whole help before any.
class CommandLine {
public:
    static Invocation Parse(int argc, const char* const* argv);
    static std::string HelpText(std::optional<Command> about = std::nullopt);
};
