// ornix-sim run as a child process for a test: started with its command line, its ready lines
// read, stopped by closing its standard input when the object goes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace Ornix::Testing {

class Simulator {
public:
    explicit Simulator(const std::vector<std::string>& arguments);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The port path the simulator printed for a device ("arm" or "handle").
    const std::string& Port(const std::string& kind) const { return ports.at(kind); }

private:
    std::string ReadLine();

    pid_t child = -1;
    int input = -1;   // the simulator's standard input
    int output = -1;  // its standard output
    std::map<std::string, std::string> ports;
};

}  // namespace Ornix::Testing
