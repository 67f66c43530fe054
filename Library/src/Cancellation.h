// The way out of a long wait: a device asks it, in waits that have already lasted a while,
// whether the call should end now. The Python module answers from the interpreter's signal
// handlers (Ctrl-C); detection answers for the probes it abandons.
#pragma once

namespace Ornix::HardwareAPI::Devices {

class Cancellation {
public:
    // True when the waiting call should end now. Once true it stays true until the call is over,
    // so that every later wait of the same call ends at once too. `signalled`: a signal ended the
    // caller's wait since it last asked, for an answerer that looks only then.
    virtual bool Requested(bool signalled) = 0;

protected:
    ~Cancellation() = default;
};

}  // namespace Ornix::HardwareAPI::Devices
