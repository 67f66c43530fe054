#include "Simulator.h"

#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace Ornix::Testing {

namespace {
constexpr int kReadyTimeoutMs = 5000;
}

Simulator::Simulator(const std::vector<std::string>& arguments) {
    int to_child[2], from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        throw std::runtime_error("pipe failed");
    }
    child = fork();
    if (child == 0) {
        dup2(to_child[0], STDIN_FILENO);
        dup2(from_child[1], STDOUT_FILENO);
        close(to_child[1]);
        close(from_child[0]);
        std::vector<char*> argv{const_cast<char*>(ORNIX_SIM_PATH)};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        execv(ORNIX_SIM_PATH, argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    input = to_child[1];
    output = from_child[0];
    for (const std::string& argument : arguments) {
        if (argument == "arm" || argument == "handle") {
            const std::string line = ReadLine();
            ports[line.substr(0, line.find(' '))] = line.substr(line.rfind(' ') + 1);
        }
    }
}

Simulator::~Simulator() {
    close(input);
    int status = 0;
    waitpid(child, &status, 0);
    close(output);
}

std::string Simulator::ReadLine() {
    std::string line;
    char byte = 0;
    const auto readable = [this] {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(output, &ready);
        timeval limit{kReadyTimeoutMs / 1000, (kReadyTimeoutMs % 1000) * 1000};
        return select(output + 1, &ready, nullptr, nullptr, &limit) == 1;
    };
    while (readable() && read(output, &byte, 1) == 1 && byte != '\n') {
        line += byte;
    }
    if (byte != '\n') {
        throw std::runtime_error("ornix-sim printed no ready line");
    }
    return line;
}

}  // namespace Ornix::Testing
