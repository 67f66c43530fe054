// What the process can do to let go of ports it no longer uses, before one of them is refused
// as busy: a port whose stream a program has dropped stays locked until the stream's object is
// freed, and an interpreter that frees objects only when it collects (PyPy) installs a
// reclaimer that collects. By default there is none, and a held port is refused at once.
#pragma once

#include <atomic>

namespace Ornix::HardwareAPI::IO {

class PortReclaimer {
public:
    using Reclaim = void (*)();

    // Installs the process's reclaimer (nullptr removes it).
    static void Install(Reclaim reclaim);
    // Runs the reclaimer once; false when none is installed.
    static bool Run();

private:
    static std::atomic<Reclaim> installed;
};

}  // namespace Ornix::HardwareAPI::IO
