#include "Diagnostics.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "OutputCapture.h"
#include "SerialStream.h"

namespace Ornix::HardwareAPI {
namespace {

using Testing::OutputCapture;

struct Reported {
    std::string file;
    unsigned line;
    std::string message;
    int error_number;
    std::string error_text;
};

class KeepingSink : public DiagnosticSink {
public:
    void Report(const char* source_file, unsigned source_line, const char* message,
                int error_number, const char* error_text) override {
        reported.push_back({source_file, source_line, message, error_number, error_text});
    }
    std::vector<Reported> reported;
};

// A sink installed for the test, and standard error again at its end.
class Installed {
public:
    explicit Installed(DiagnosticSink* sink) : previous(Diagnostics::Install(sink)) {}
    ~Installed() { Diagnostics::Install(previous); }

private:
    DiagnosticSink* previous;
};

TEST(Diagnostics, AnInstalledSinkGetsEachFailureInPartsAndStandardErrorNothing) {
    KeepingSink sink;
    OutputCapture errors(STDERR_FILENO);
    {
        const Installed installed(&sink);
        IO::SerialStream stream("/nonexistent/ttyACM9", true);
    }
    EXPECT_EQ(errors.Finish(), "");
    ASSERT_EQ(sink.reported.size(), 2u);
    EXPECT_EQ(sink.reported[0].file, "Library/src/SerialStream.cpp");
    EXPECT_EQ(sink.reported[0].line, 38u);
    EXPECT_EQ(sink.reported[0].message, "unable to open port '/nonexistent/ttyACM9'");
    EXPECT_EQ(sink.reported[0].error_number, ENOENT);
    EXPECT_EQ(sink.reported[0].error_text, std::strerror(ENOENT));
    EXPECT_EQ(sink.reported[1].line, 17u);
    EXPECT_EQ(sink.reported[1].message, "unable to open stream '/nonexistent/ttyACM9'");
}

// Without a sink the line is today's, byte for byte, and errno is as it was before the report;
// a message of any length reaches it whole.
TEST(Diagnostics, StandardErrorGetsTheWholeLineAndErrnoStays) {
    const std::string name(6000, 'x');
    OutputCapture errors(STDERR_FILENO);
    errno = EACCES;
    Diagnostics::Report("Library/src/Example.cpp", 12, "unable to use '%s'", name.c_str());
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(errors.Finish(), "[err] Library/src/Example.cpp:12> unable to use '" + name +
                                   "': [13] " + std::strerror(EACCES) + "\n");
}

}  // namespace
}  // namespace Ornix::HardwareAPI
