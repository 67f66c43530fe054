#pragma once

#include <string>

// A proxy to a real port, or a recording played back, each served on a pseudo-terminal: what
// the command line asks of the one that ornix-sim serves.
struct RelaySetup {
    enum class Kind { Proxy, Replay };

    Kind kind;
    // The port forwarded to, or the recording played back.
    std::string source;
    // Empty for no link.
    std::string link;
    // Proxy only: the recording to write.
    std::string record;
    // Replay only: a request that differs from the recording's goes unanswered.
    bool strict = false;
};
