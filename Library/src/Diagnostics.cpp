#include "Diagnostics.h"

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace Ornix::HardwareAPI {

namespace {

std::atomic<DiagnosticSink*> installed{nullptr};

// Long enough for any message the library makes with a port name of PATH_MAX in it.
constexpr size_t kLongestMessage = 4200;

}  // namespace

void Diagnostics::Report(const char* source_file, unsigned source_line, const char* format, ...) {
    const int cause = errno;
    char fixed[kLongestMessage];
    std::string longer;
    const char* message = fixed;
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(fixed, sizeof fixed, format, arguments);
    if (length >= static_cast<int>(sizeof fixed)) {
        // A message longer than any the library makes of a real port name: no truncation.
        longer.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(longer.data(), longer.size(), format, again);
        message = longer.c_str();
    }
    va_end(again);
    va_end(arguments);
    const char* const text = std::strerror(cause);
    if (DiagnosticSink* const sink = installed.load()) {
        sink->Report(source_file, source_line, message, cause, text);
    } else {
        WriteToStandardError(source_file, source_line, message, cause, text);
    }
    errno = cause;
}

void Diagnostics::WriteToStandardError(const char* source_file, unsigned source_line,
                                       const char* message, int error_number,
                                       const char* error_text) {
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", source_file, source_line, message,
                 error_number, error_text);
    std::fflush(stderr);
}

DiagnosticSink* Diagnostics::Install(DiagnosticSink* sink) { return installed.exchange(sink); }

}  // namespace Ornix::HardwareAPI
