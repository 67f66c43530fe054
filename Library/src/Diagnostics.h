// The library's error lines: each failure the library reports goes through Report, which writes
// it to standard error as "[err] FILE:LINE> MESSAGE: [ERRNO] STRERROR" followed by a flush, or
// hands it to the sink a program installed instead. errno is what it was before the report.
#pragma once

#include "DiagnosticSink.h"

namespace Ornix::HardwareAPI {

class Diagnostics {
public:
    // The message is formatted as by printf; errno names the error and is kept as it was.
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    static void
    Report(const char* source_file, unsigned source_line, const char* format, ...);

    // Installs `sink` for every later report, or standard error again for null; returns the
    // sink it replaces. A report in progress on another thread may still reach the one
    // replaced: a sink lives on until its installer knows no report can be using it.
    static DiagnosticSink* Install(DiagnosticSink* sink);

    // The line on standard error, as Report writes it without a sink.
    static void WriteToStandardError(const char* source_file, unsigned source_line,
                                     const char* message, int error_number, const char* error_text);
};

}  // namespace Ornix::HardwareAPI
