// Captures what the process writes to one of its descriptors (standard error or output) below
// any stdio or iostream buffering, by pointing the descriptor at a temporary file.
#pragma once

#include <string>

namespace Ornix::Testing {

class OutputCapture {
public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything written since construction; the descriptor is restored.
    std::string Finish();

private:
    void Restore();

    int fd;
    int saved_fd;
    int file_fd;
};

}  // namespace Ornix::Testing
