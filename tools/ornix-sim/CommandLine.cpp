#include "CommandLine.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

namespace {

constexpr unsigned long kLongestDelay = 3600000;
constexpr unsigned long kLargestCount = 1000000000;
// More than a 115200-baud line could carry.
constexpr double kHighestCompactRate = 20000.0;
// A status message gives the user data length in one byte.
constexpr std::size_t kLongestUserData = 255;
// The range of an FTDI adapter's latency timer.
constexpr unsigned long kShortestLatencyTimer = 1;
constexpr unsigned long kLongestLatencyTimer = 255;
constexpr unsigned long kLargestSeed = 4294967295UL;

const char kUsage[] = "Usage: ornix-sim [-h] ";
const char kArmUsage[] = "arm [device options] [handle [device options]]\n";
const char kHandleUsage[] = "handle [device options] [arm [device options]]\n";
const char kDevicesUsage[] = "DEVICE [device options] [DEVICE [device options]]\n";
const char kProxyUsage[] = "proxy PORT --record FILE [--link PATH]\n";
const char kReplayUsage[] = "replay FILE [--strict] [--link PATH]\n";
const char kMoreUsage[] = "       ornix-sim [-h] ";

const char kDevicesAbout[] =
    R"(
Serves a virtual Ornix device on a pseudo-terminal of its own, so that programs using
OrnixHardwareAPI run without hardware. DEVICE is `arm` (an Ostrel3 haptic arm) or `handle`;
at most one of each. For each device one line, "arm PORT" or "handle PORT", is printed as soon
as it is ready: PORT is the path to open. ornix-sim serves until SIGINT or SIGTERM, or until
its standard input reaches end of file, then removes its links and exits with status 0.
)";

const char kHelpOption[] = R"(
Options:
  -h, --help              show this help and exit
)";

const char kLinkOption[] =
    R"(  --link PATH             also make the port reachable as PATH, a symbolic link removed on
                          exit (refused if PATH exists)
)";

const char kDeviceOptionsHeading[] = R"(
Device options, given after their device word:
)";

const char kIdentityOption[] =
    R"(  --device-id N           the device id it reports, from 0 to 65535 (default: 769 for the
                          arm, 279 for the handle), as another unit of its kind would
)";

const char kFaultOptions[] = R"(  --delay MS              wait MS milliseconds before every reply
  --silent                read requests but never answer
  --wrong-code-every N    every Nth message starts with a code no host expects
  --truncate-every N      every Nth message is cut short: only its first half is sent
  --garbage-every N       every Nth message is preceded by the stray bytes 55 00 66
  --disconnect-after N    hang up after N messages and stop serving the device
  --latency MODEL         hold every message as the link MODEL would, after any --delay:
                          usb-full-speed, ftdi:MS or bluetooth (see Links below)
  --seed N                with --latency bluetooth: the seed of its random waits, from 0 to
                          4294967295 (default: 1), the same waits for the same seed
)";

const char kHandleOptions[] =
    R"(  --compact HZ            handle only: also send compact status packets, HZ per second
  --user-data HEX         handle only: user data carried by every status message, as hex
                          digits, at most 255 bytes (default: none)
)";

const char kMessages[] = R"(
Messages are a device's replies and a handle's compact packets; the fault counters count
them all, those that --silent withholds included. A reply waits until the host has room for
it; compact packets the host leaves unread are dropped, oldest first, once 4 KiB of them wait.
)";

const char kLinks[] = R"(
Links: --latency models the delay a link adds to every message on its way to the host, in
order; these are models after the sources named, not measurements of real adapters. While a
message is held, requests are read and answered as before.
  usb-full-speed  a USB CDC-ACM device (ttyACM, as the arm and a USB handle appear): after
                  USB 2.0's full-speed frames of 1 ms, each of which the host starts with one
                  poll of the bulk data, a message leaves on the first frame from when it is
                  ready (frames counted from ornix-sim's start), and reaches the host 50 us
                  later, the host's driver's share
  ftdi:MS         an FTDI USB-serial adapter (ttyUSB, a wired handle's link), after FTDI's
                  application note AN232B-04 (data throughput, latency and handshaking): its
                  latency timer of MS milliseconds, from 1 to 255 (16 the drivers' default, 1
                  a tuned adapter), holds a short message until MS have passed since it last
                  sent bytes on, unless its buffer fills first: 62 bytes, a 64-byte USB packet
                  less 2 status bytes; then the next 1 ms frame and 50 us as above. The full
                  packets of a longer message leave at once, the timer holds the rest
  bluetooth       a serial Bluetooth link (RFCOMM, SPP): connection intervals are multiples of
                  1.25 ms, commonly 7.5 ms and more, and serial round trips of 10 to 40 ms are
                  commonly reported; each message waits 2.5 ms and 1 to 4 intervals of 7.5 ms,
                  at random (10 to 32.5 ms in all), and never overtakes an earlier one
)";

const char kProxyAbout[] = R"(
proxy PORT stands between a program and a real device on PORT, which it opens as the library
does: it serves a pseudo-terminal of its own, forwards every byte both ways as it arrives and
records the exchange, frame by frame and decoded, in FILE, each frame as soon as it has passed.
A recording that cannot be written stops the proxy with status 1.
)";

const char kReplayAbout[] = R"(
replay FILE serves a recording made by the proxy back: each request the program writes is
answered as the recorded one was, after the recorded delay, and the device's unasked messages
follow at their recorded times. A request that differs from the recording's next is reported
on standard error and answered as that one was. The whole recording is checked before the
replay starts; it is read as it plays, so that a long one costs no more memory than a short.
)";

const char kRelaysServe[] = R"(
Each prints one line, "proxy PORT" or "replay PORT", when ready, and serves alone until it
is stopped as the devices are. tools/ornix-sim/RECORDING.md describes the recordings.
)";

const char kRelayServes[] = R"( PORT", when ready, and serves until SIGINT or SIGTERM, or
until its standard input reaches end of file. tools/ornix-sim/RECORDING.md describes the
recordings.
)";

const char kProxyOptions[] = R"(
Proxy options, given after the port:
  --record FILE           write the recording to FILE (refused if FILE exists); required
)";

const char kReplayOptions[] = R"(
Replay options, given after the recording:
  --strict                leave a request that differs from the recording's unanswered
)";

const char kExitStatus[] = R"(
Exit status: 0 after a normal stop, 1 when a port, link or recording cannot be set up or the
recording cannot be written, 2 for a bad command line.
)";

bool IsHelp(const std::string& word) { return word == "-h" || word == "--help"; }

std::string RelayServes(const char* word) {
    return std::string("\nIt prints one line, \"") + word + kRelayServes;
}

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

unsigned long WholeNumber(const std::string& option, const std::string& value, unsigned long lowest,
                          unsigned long highest) {
    const unsigned long number =
        AllDigits(value) && value.size() <= 10 ? std::strtoul(value.c_str(), nullptr, 10) : 0;
    if (!AllDigits(value) || number < lowest || number > highest) {
        throw UsageError(option + " needs a whole number from " + std::to_string(lowest) + " to " +
                         std::to_string(highest) + ", not '" + value + "'");
    }
    return number;
}

unsigned Count(const std::string& option, const std::string& value) {
    return static_cast<unsigned>(WholeNumber(option, value, 1, kLargestCount));
}

double Rate(const std::string& option, const std::string& value) {
    char* end = nullptr;
    const double rate = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(rate) || rate <= 0 ||
        rate > kHighestCompactRate) {
        throw UsageError(option + " needs a rate above 0 and at most 20000 per second, not '" +
                         value + "'");
    }
    return rate;
}

LinkModel Latency(const std::string& option, const std::string& value) {
    LinkModel model;
    const std::string ftdi = "ftdi:";
    const std::string timer = value.rfind(ftdi, 0) == 0 ? value.substr(ftdi.size()) : "";
    const unsigned long milliseconds =
        AllDigits(timer) && timer.size() <= 3 ? std::strtoul(timer.c_str(), nullptr, 10) : 0;
    if (value == "usb-full-speed") {
        model.kind = LinkModel::Kind::UsbFullSpeed;
    } else if (value == "bluetooth") {
        model.kind = LinkModel::Kind::Bluetooth;
    } else if (milliseconds >= kShortestLatencyTimer && milliseconds <= kLongestLatencyTimer) {
        model.kind = LinkModel::Kind::Ftdi;
        model.latency_timer = std::chrono::milliseconds(milliseconds);
    } else {
        throw UsageError(option +
                         " needs usb-full-speed, ftdi:MS with MS from 1 to 255, or bluetooth, "
                         "not '" +
                         value + "'");
    }
    return model;
}

std::vector<std::uint8_t> HexBytes(const std::string& option, const std::string& value) {
    bool valid = value.size() % 2 == 0 && value.size() <= 2 * kLongestUserData;
    for (char c : value) {
        valid = valid && std::isxdigit(static_cast<unsigned char>(c));
    }
    if (!valid) {
        throw UsageError(option + " needs an even number of hex digits, at most 255 bytes, not '" +
                         value + "'");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < value.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(value.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

struct DeviceOption {
    const char* name;
    bool takes_value;
    bool handle_only;
    void (*apply)(DeviceSetup& device, const std::string& option, const std::string& value);
};

const DeviceOption kDeviceOptions[] = {
    {"--link", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         if (value.empty()) {
             throw UsageError(option + " needs a path");
         }
         device.link = value;
     }},
    {"--device-id", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.device_id = static_cast<std::uint16_t>(WholeNumber(option, value, 0, 65535));
     }},
    {"--delay", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.faults.delay =
             std::chrono::milliseconds(WholeNumber(option, value, 0, kLongestDelay));
     }},
    {"--silent", false, false,
     [](DeviceSetup& device, const std::string&, const std::string&) {
         device.faults.silent = true;
     }},
    {"--wrong-code-every", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.faults.wrong_code_every = Count(option, value);
     }},
    {"--truncate-every", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.faults.truncate_every = Count(option, value);
     }},
    {"--garbage-every", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.faults.garbage_every = Count(option, value);
     }},
    {"--disconnect-after", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.faults.disconnect_after = Count(option, value);
     }},
    {"--latency", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.latency = Latency(option, value);
     }},
    {"--seed", true, false,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.seed = static_cast<std::uint32_t>(WholeNumber(option, value, 0, kLargestSeed));
     }},
    {"--compact", true, true,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.compact_rate = Rate(option, value);
     }},
    {"--user-data", true, true,
     [](DeviceSetup& device, const std::string& option, const std::string& value) {
         device.user_data = HexBytes(option, value);
     }},
};

const DeviceOption* FindDeviceOption(const std::string& name) {
    for (const DeviceOption& option : kDeviceOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

struct RelayOption {
    const char* name;
    bool takes_value;
    // Nothing for an option of both.
    std::optional<RelaySetup::Kind> only;
    void (*apply)(RelaySetup& relay, const std::string& option, const std::string& value);
};

const RelayOption kRelayOptions[] = {
    {"--link", true, std::nullopt,
     [](RelaySetup& relay, const std::string& option, const std::string& value) {
         if (value.empty()) {
             throw UsageError(option + " needs a path");
         }
         relay.link = value;
     }},
    {"--record", true, RelaySetup::Kind::Proxy,
     [](RelaySetup& relay, const std::string& option, const std::string& value) {
         if (value.empty()) {
             throw UsageError(option + " needs a path");
         }
         relay.record = value;
     }},
    {"--strict", false, RelaySetup::Kind::Replay,
     [](RelaySetup& relay, const std::string&, const std::string&) { relay.strict = true; }},
};

const RelayOption* FindRelayOption(const std::string& name) {
    for (const RelayOption& option : kRelayOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

const char* RelayWord(RelaySetup::Kind kind) {
    return kind == RelaySetup::Kind::Proxy ? "proxy" : "replay";
}

// The value of the option at words[i], from its --option=value form or the next word.
std::string OptionValue(const std::vector<std::string>& words, std::size_t& i,
                        const std::string& name, bool inline_value, const std::string& value,
                        bool takes_value) {
    if (!takes_value && inline_value) {
        throw UsageError(name + " takes no value");
    }
    if (takes_value && !inline_value) {
        if (i + 1 == words.size()) {
            throw UsageError(name + " needs a value");
        }
        return words[++i];
    }
    return value;
}

}  // namespace

Invocation CommandLine::Parse(int argc, const char* const* argv) {
    Invocation invocation;
    const std::vector<std::string> words(argv + 1, argv + argc);
    // The command the words belong to so far, whose help -h gives.
    std::optional<Command> current;
    const auto help = [&invocation, &current] {
        invocation.help = true;
        invocation.help_about = current;
        return invocation;
    };
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string name = words[i];
        if (IsHelp(name)) {
            return help();
        }
        if (name == "proxy" || name == "replay") {
            if (!invocation.devices.empty() || invocation.relay) {
                throw UsageError(name + " is served alone, without devices, a proxy or a replay");
            }
            current = name == "proxy" ? Command::Proxy : Command::Replay;
            if (i + 1 < words.size() && IsHelp(words[i + 1])) {
                return help();
            }
            if (i + 1 == words.size()) {
                throw UsageError(name == "proxy" ? "proxy needs the port to forward to"
                                                 : "replay needs the recording to play");
            }
            const auto kind = name == "proxy" ? RelaySetup::Kind::Proxy : RelaySetup::Kind::Replay;
            invocation.relay = RelaySetup{kind, words[++i], {}, {}, false};
            continue;
        }
        if (invocation.relay && (name == "arm" || name == "handle")) {
            throw UsageError(std::string(RelayWord(invocation.relay->kind)) +
                             " is served alone, without devices, a proxy or a replay");
        }
        if (name == "arm" || name == "handle") {
            const DeviceKind kind = name == "arm" ? DeviceKind::Arm : DeviceKind::Handle;
            for (const DeviceSetup& device : invocation.devices) {
                if (device.kind == kind) {
                    throw UsageError("at most one " + name + " can be served");
                }
            }
            invocation.devices.push_back(DeviceSetup{kind, {}, {}, 0, {}, {}, {}, {}});
            current = kind == DeviceKind::Arm ? Command::Arm : Command::Handle;
            continue;
        }
        if (name.empty() || name[0] != '-') {
            throw UsageError("unknown device '" + name + "': expected arm or handle");
        }
        // --option=value is accepted as well as --option value.
        std::string value;
        const std::size_t equals = name.find('=');
        const bool inline_value = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inline_value) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const DeviceOption* option = FindDeviceOption(name);
        const RelayOption* relay_option = FindRelayOption(name);
        if (option == nullptr && relay_option == nullptr) {
            throw UsageError("unknown option '" + name + "'");
        }
        // Help asked for where a value was due is help all the same.
        const bool takes_value =
            option != nullptr ? option->takes_value : relay_option->takes_value;
        if (takes_value && !inline_value && i + 1 < words.size() && IsHelp(words[i + 1])) {
            return help();
        }
        if (invocation.relay) {
            RelaySetup& relay = *invocation.relay;
            const char* word = RelayWord(relay.kind);
            if (relay_option == nullptr) {
                throw UsageError(name + " is not an option of the " + word);
            }
            if (relay_option->only && *relay_option->only != relay.kind) {
                throw UsageError(name + " is an option of the " + RelayWord(*relay_option->only) +
                                 ", not of the " + word);
            }
            relay_option->apply(
                relay, name,
                OptionValue(words, i, name, inline_value, value, relay_option->takes_value));
            continue;
        }
        if (invocation.devices.empty()) {
            throw UsageError(name + " must follow its device word (arm or handle)");
        }
        DeviceSetup& device = invocation.devices.back();
        if (option == nullptr) {
            throw UsageError(name + " is an option of the " + RelayWord(*relay_option->only) +
                             ", not of the " + (device.kind == DeviceKind::Arm ? "arm" : "handle"));
        }
        if (option->handle_only && device.kind != DeviceKind::Handle) {
            throw UsageError(name + " is an option of the handle, not of the arm");
        }
        option->apply(device, name,
                      OptionValue(words, i, name, inline_value, value, option->takes_value));
    }
    if (invocation.relay && invocation.relay->kind == RelaySetup::Kind::Proxy &&
        invocation.relay->record.empty()) {
        throw UsageError("proxy needs --record FILE");
    }
    for (DeviceSetup& device : invocation.devices) {
        if (!device.seed) {
            continue;
        }
        if (!device.latency || device.latency->kind != LinkModel::Kind::Bluetooth) {
            throw UsageError("--seed is an option of --latency bluetooth");
        }
        device.latency->seed = *device.seed;
    }
    if (invocation.devices.empty() && !invocation.relay) {
        throw UsageError("no device given: name arm, handle or both, or a proxy or a replay");
    }
    return invocation;
}

std::string CommandLine::HelpText(std::optional<Command> about) {
    const std::string usage = kUsage;
    if (!about) {
        return usage + kDevicesUsage + kMoreUsage + kProxyUsage + kMoreUsage + kReplayUsage +
               kDevicesAbout + kHelpOption + kDeviceOptionsHeading + kLinkOption + kIdentityOption +
               kFaultOptions + kHandleOptions + kMessages + kLinks + kProxyAbout + kReplayAbout +
               kRelaysServe + kProxyOptions + kLinkOption + kReplayOptions + kLinkOption +
               kExitStatus;
    }
    switch (*about) {
        case Command::Arm:
        case Command::Handle:
            return usage + (*about == Command::Arm ? kArmUsage : kHandleUsage) + kDevicesAbout +
                   kHelpOption + kDeviceOptionsHeading + kLinkOption + kIdentityOption +
                   kFaultOptions + (*about == Command::Handle ? kHandleOptions : "") + kMessages +
                   kLinks + kExitStatus;
        case Command::Proxy:
            return usage + kProxyUsage + kProxyAbout + RelayServes("proxy") + kHelpOption +
                   kProxyOptions + kLinkOption + kExitStatus;
        case Command::Replay:
            return usage + kReplayUsage + kReplayAbout + RelayServes("replay") + kHelpOption +
                   kReplayOptions + kLinkOption + kExitStatus;
    }
    return usage;
}
