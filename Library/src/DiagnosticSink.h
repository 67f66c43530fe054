// Where the library's error lines go, as a seam: Diagnostics hands each failure to the sink
// installed for the process, whole and in parts, so that a sink (the companion's, which makes
// logging records of them) needs to parse nothing. It may be called on any thread, with or
// without the interpreter lock, and must not wait for what the caller may hold.
#pragma once

namespace Ornix::HardwareAPI {

class DiagnosticSink {
public:
    // One failure: the source file and line that name its place, its message, and the errno
    // and strerror that were current when it happened.
    virtual void Report(const char* source_file, unsigned source_line, const char* message,
                        int error_number, const char* error_text) = 0;

protected:
    ~DiagnosticSink() = default;
};

}  // namespace Ornix::HardwareAPI
