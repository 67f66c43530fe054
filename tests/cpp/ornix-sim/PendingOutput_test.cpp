#include "PendingOutput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

namespace {

using Clock = PendingOutput::Clock;

// A pipe whose write end never blocks, as the servers' descriptors do not.
class Pipe {
public:
    Pipe() {
        EXPECT_EQ(::pipe(ends_), 0);
        ::fcntl(ends_[1], F_SETFL, ::fcntl(ends_[1], F_GETFL) | O_NONBLOCK);
        ::fcntl(ends_[0], F_SETFL, ::fcntl(ends_[0], F_GETFL) | O_NONBLOCK);
    }
    ~Pipe() {
        CloseReader();
        ::close(ends_[1]);
    }
    int Writer() const { return ends_[1]; }
    void CloseReader() {
        if (ends_[0] >= 0) {
            ::close(ends_[0]);
            ends_[0] = -1;
        }
    }
    std::string Drain() {
        std::string out;
        char chunk[4096];
        ssize_t count;
        while ((count = ::read(ends_[0], chunk, sizeof chunk)) > 0) {
            out.append(chunk, static_cast<std::size_t>(count));
        }
        return out;
    }

private:
    int ends_[2] = {-1, -1};
};

void Add(PendingOutput& output, const std::string& text, Clock::time_point when,
         bool droppable = false) {
    output.Add(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), when, droppable);
}

TEST(PendingOutput, KeepsEveryByteInOrderWhileTheReaderFallsBehind) {
    Pipe pipe;
    PendingOutput output;
    const Clock::time_point start{};
    std::string expected;
    // Far more than any pipe holds, so that most of it has to wait.
    for (int i = 0; i < 300; ++i) {
        const std::string piece(1000 + i, static_cast<char>('a' + i % 26));
        Add(output, piece, start + std::chrono::seconds(i));
        expected += piece;
    }
    std::string reported;
    // Where each run written begins in the whole, and the time it carried.
    std::vector<std::pair<std::size_t, Clock::time_point>> runs;
    const PendingOutput::Written record = [&](const std::uint8_t* data, std::size_t size,
                                              Clock::time_point when) {
        runs.emplace_back(reported.size(), when);
        reported.append(reinterpret_cast<const char*>(data), size);
    };
    ASSERT_TRUE(output.WriteTo(pipe.Writer(), record));
    EXPECT_GT(output.Size(), 0u) << "the pipe took everything: the test shows nothing";
    std::string received = pipe.Drain();
    while (!output.Empty()) {
        ASSERT_TRUE(output.WriteTo(pipe.Writer(), record));
        received += pipe.Drain();
    }
    EXPECT_EQ(received, expected);
    EXPECT_EQ(reported, expected);
    // Each run carries the time of the piece its bytes came from.
    for (const auto& [offset, when] : runs) {
        std::size_t piece = 0;
        for (std::size_t end = 1000; end <= offset; end += 1000 + ++piece) {
        }
        EXPECT_EQ(when, start + std::chrono::seconds(piece)) << "run at byte " << offset;
    }
}

TEST(PendingOutput, DropsOnlyTheOldestDroppablePiecesWhole) {
    Pipe pipe;
    PendingOutput output;
    const Clock::time_point now{};
    Add(output, "<reply 1>", now);
    for (int i = 1; i <= 5; ++i) {
        Add(output, "[packet " + std::to_string(i) + "]", now, true);
    }
    Add(output, "<reply 2>", now);
    // Room for two packets of ten bytes.
    output.DropOldest(20);
    EXPECT_EQ(output.Size(), 9u + 20u + 9u);
    ASSERT_TRUE(output.WriteTo(pipe.Writer()));
    EXPECT_TRUE(output.Empty());
    EXPECT_EQ(pipe.Drain(), "<reply 1>[packet 4][packet 5]<reply 2>");
}

TEST(PendingOutput, ReportsAFailedWriteAndKeepsWhatDidNotGo) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.CloseReader();
    PendingOutput output;
    Add(output, "reply", Clock::time_point{});
    bool reported = false;
    errno = 0;
    EXPECT_FALSE(output.WriteTo(pipe.Writer(), [&](const std::uint8_t*, std::size_t,
                                                   Clock::time_point) { reported = true; }));
    EXPECT_EQ(errno, EPIPE);
    EXPECT_FALSE(reported);
    EXPECT_EQ(output.Size(), 5u);
}

}  // namespace
