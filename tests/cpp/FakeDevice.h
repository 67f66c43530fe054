// A device stand-in on a pseudo-terminal. The code under test opens Path(); a thread on the master
// side records every byte it receives and plays a script (Script.h) of expected requests,
// replies, hang-ups, stalls and floods. Mismatches and unplayed steps fail the test when the
// device is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Script.h"

namespace Ornix::Testing {

class FakeDevice : public ScriptBuilder<FakeDevice> {
public:
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::string& Path() const { return path; }
    // A descriptor of the terminal side, held open for the device's whole life so that the
    // master stays readable while the code under test closes and reopens the port.
    int TerminalDescriptor() const { return slave_fd; }

    Bytes Received() const;
    bool WaitForReceived(size_t count, Milliseconds limit) const;
    bool WaitUntilPlayed(Milliseconds limit) const;

private:
    friend class ScriptBuilder<FakeDevice>;
    using Clock = std::chrono::steady_clock;

    // Steps may be added while the device plays the ones before.
    void AddStep(Step step);
    void Run();
    // Plays every step that is due, with the mutex held; returns how long to wait for more.
    Microseconds PlayDueSteps();
    void Transfer(bool readable, bool writable);

    int master_fd = -1;
    int slave_fd = -1;
    std::string path;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Step> steps;
    size_t next_step = 0;
    Clock::time_point current_step_since;
    Clock::time_point reading_from;
    Bytes received;
    size_t matched = 0;  // received bytes already claimed by Expect and Seek steps
    Bytes outgoing;
    Bytes flood;
    std::vector<std::string> mismatches;
    bool stopping = false;
    std::thread worker;
};

}  // namespace Ornix::Testing
