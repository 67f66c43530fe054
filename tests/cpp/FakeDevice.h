// A device stand-in on a pseudo-terminal. The code under test opens Path(); a thread on the master
// side records every byte it receives and plays a script of expected requests, replies and
// hang-ups. Mismatches and unplayed steps fail the test when the device is destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Ornix::Testing {

using Bytes = std::vector<uint8_t>;
using Milliseconds = std::chrono::milliseconds;

class FakeDevice {
public:
    FakeDevice();
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    const std::string& Path() const { return path; }
    // A descriptor of the terminal side, held open for the device's whole life so that the
    // master stays readable while the code under test closes and reopens the port.
    int TerminalDescriptor() const { return slave_fd; }

    // Script steps, played in order; a delay counts from the end of the step before.
    // The next bytes the code under test writes must be exactly `request`.
    FakeDevice& Expect(Bytes request);
    FakeDevice& Reply(Bytes reply, Milliseconds delay = Milliseconds(0));
    // Closes the master side: from then on the port reads as unplugged.
    FakeDevice& Hangup(Milliseconds delay = Milliseconds(0));
    // Reads nothing of what the code under test writes for `duration`, as a device that has
    // stopped reading; its writes fill the line and then wait.
    FakeDevice& Stall(Milliseconds duration);

    Bytes Received() const;
    bool WaitForReceived(size_t count, Milliseconds limit) const;
    bool WaitUntilPlayed(Milliseconds limit) const;

private:
    using Clock = std::chrono::steady_clock;
    enum class Kind { Expect, Reply, Hangup, Stall };
    struct Step {
        Kind kind;
        Bytes bytes;
        Milliseconds delay;
    };

    FakeDevice& Add(Step step);
    void Run();
    // Plays every step that is due, with the mutex held; returns how long to wait for more.
    Milliseconds PlayDueSteps();
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
    size_t matched = 0;  // received bytes already claimed by Expect steps
    Bytes outgoing;
    std::vector<std::string> mismatches;
    bool stopping = false;
    std::thread worker;
};

// Little-endian binary32 images of the values, in order.
Bytes FloatBytes(std::initializer_list<float> values);
Bytes Concat(std::initializer_list<Bytes> parts);
std::string Hex(const Bytes& bytes);

}  // namespace Ornix::Testing
