// What SIGTERM and SIGHUP do while servo loops run. Where such a signal would end the process
// at once (its disposition is the default one, as under Python's default handling), a handler
// takes its place while any loop runs: it asks every running loop to send zero force, waits a
// moment for them to say so, then ends the process by the same signal, as the default would
// have. The handler only sets a flag, writes to and waits on a pipe, and restores and raises the
// signal: all safe in a signal handler. A disposition the program set itself is left alone.
#pragma once

namespace Ornix::Companion {

class TerminationSignals {
public:
    // How long the handler waits for the running loops.
    static constexpr int kWaitMilliseconds = 500;

    // A loop starts: the first one installs the handler where the disposition is the default.
    static void Watch();
    // A loop stopped: the last one puts the default back where the handler is still in place.
    static void Unwatch();
    // Whether a termination signal arrived: a running loop then sends zero force and stops.
    static bool Arrived();
    // A running loop has sent zero force after Arrived.
    static void Confirm();
    // The calling thread (a loop's, a reader's) takes no signal: the program's threads take
    // them, whose handlers then never run in a tick or a read.
    static void KeepFromThisThread();
};

}  // namespace Ornix::Companion
