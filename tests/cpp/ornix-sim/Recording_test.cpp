#include "Recording.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A file name in a folder of its own, removed with it.
class TemporaryFolder {
public:
    TemporaryFolder() {
        char pattern[] = "/tmp/ornix-sim-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TemporaryFolder() {
        for (const std::string& file : files_) {
            ::unlink(file.c_str());
        }
        ::rmdir(path_.c_str());
    }
    std::string File(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

std::string Contents(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

WireFrame Frame(Direction from, std::chrono::steady_clock::time_point when,
                std::vector<std::uint8_t> bytes, std::string name) {
    return {from, when, std::move(bytes), std::move(name), "{}", {}};
}

TEST(RecordingWriter, EveryLineIsInTheFileAsSoonAsItIsWritten) {
    TemporaryFolder folder;
    const std::string path = folder.File("session.jsonl");
    const auto start = std::chrono::steady_clock::now();
    RecordingWriter writer(path, "/dev/ttyUSB0", start);
    // The header is there before any frame, so that a proxy killed at once leaves a recording.
    const std::string header = Contents(path);
    EXPECT_EQ(header.rfind("{\"recording\": 1, \"port\": \"/dev/ttyUSB0\", \"started\": ", 0), 0u);
    EXPECT_EQ(header.back(), '\n');

    writer.Add(Frame(Direction::FromHost, start + std::chrono::milliseconds(5), {0xAA},
                     "get_temperature"));
    EXPECT_EQ(Contents(path), header) << "lines go out only when written";
    ASSERT_TRUE(writer.WriteAdded());
    writer.Add(Frame(Direction::FromDevice, start + std::chrono::milliseconds(6),
                     {0xAA, 0, 0, 0xC8, 0x41}, "temperature"));
    writer.AddKind(DeviceKind::Arm, start + std::chrono::milliseconds(6));
    ASSERT_TRUE(writer.WriteAdded());
    EXPECT_EQ(Contents(path),
              header +
                  "{\"t\": 0.005000, \"from\": \"host\", \"hex\": \"aa\", \"frame\": "
                  "\"get_temperature\", \"fields\": {}}\n"
                  "{\"t\": 0.006000, \"from\": \"device\", \"hex\": \"aa0000c841\", \"frame\": "
                  "\"temperature\", \"fields\": {}}\n"
                  "{\"t\": 0.006000, \"device\": \"arm\"}\n");
}

TEST(RecordingWriter, WritesEachFrameAsOneExactLine) {
    TemporaryFolder folder;
    const std::string path = folder.File("lines.jsonl");
    const auto start = std::chrono::steady_clock::now();
    // A port name that JSON has to escape.
    RecordingWriter writer(path, "/dev/odd\"name\\", start);
    const std::string header = Contents(path);
    const std::string opening =
        "{\"recording\": 1, \"port\": \"/dev/odd\\\"name\\\\\", \"started\": \"";
    ASSERT_EQ(header.rfind(opening, 0), 0u) << header;
    // The start in UTC to the microsecond: 2024-05-02T09:14:03.120551Z.
    const std::string started = header.substr(opening.size());
    EXPECT_EQ(started.size(), std::string("2024-05-02T09:14:03.120551Z\"}\n").size()) << started;
    EXPECT_EQ(started.substr(started.size() - 4), "Z\"}\n");
    EXPECT_EQ(started.substr(10, 1), "T");

    writer.Add({Direction::FromHost,
                start + std::chrono::microseconds(546991),
                {0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00, 0x80, 0xBE},
                "end_effector_force",
                "{\"force\": [1, 0.5, -0.25]}",
                {}});
    // Time is written to the microsecond, rounded.
    writer.Add({Direction::FromDevice,
                start + std::chrono::nanoseconds(3101021600),
                {0xEE, 0x24, 0x39},
                {},
                {},
                "unknown code"});
    writer.AddKind(DeviceKind::Handle, start + std::chrono::seconds(12));
    const std::string expected =
        header +
        "{\"t\": 0.546991, \"from\": \"host\", \"hex\": \"2a0000803f0000003f000080be\", "
        "\"frame\": \"end_effector_force\", \"fields\": {\"force\": [1, 0.5, -0.25]}}\n"
        "{\"t\": 3.101022, \"from\": \"device\", \"hex\": \"ee2439\", \"frame\": null, "
        "\"error\": \"unknown code\"}\n"
        "{\"t\": 12.000000, \"device\": \"handle\"}\n";
    ASSERT_TRUE(writer.WriteAdded());
    EXPECT_EQ(Contents(path), expected);
    // Nothing added, nothing written.
    ASSERT_TRUE(writer.WriteAdded());
    EXPECT_EQ(Contents(path), expected);
}

TEST(RecordingWriter, RefusesWhatItCannotCreateAndNamesWhy) {
    TemporaryFolder folder;
    const std::string path = folder.File("kept.jsonl");
    std::ofstream(path) << "field data\n";
    const auto now = std::chrono::steady_clock::now();
    // An existing file may be the only copy of a field problem.
    try {
        RecordingWriter writer(path, "/dev/ttyUSB0", now);
        FAIL() << "an existing file was replaced";
    } catch (const RecordingError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot create recording " + path + ": " + std::strerror(EEXIST));
    }
    EXPECT_EQ(Contents(path), "field data\n");
    const std::string nowhere = folder.File("missing") + "/session.jsonl";
    try {
        RecordingWriter writer(nowhere, "/dev/ttyUSB0", now);
        FAIL() << "a recording was created in a folder that does not exist";
    } catch (const RecordingError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "cannot create recording " + nowhere + ": " + std::strerror(ENOENT));
    }
}

// The largest file this process may write, for as long as it lives; ignored, SIGXFSZ lets a
// write beyond it fail with EFBIG, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_signal_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        std::signal(SIGXFSZ, previous_signal_);
    }

private:
    rlimit previous_{};
    void (*previous_signal_)(int) = nullptr;
};

TEST(RecordingWriter, AWriteThatFailsTakesBackTheLineItCutShort) {
    TemporaryFolder folder;
    const std::string path = folder.File("full.jsonl");
    const auto start = std::chrono::steady_clock::now();
    RecordingWriter writer(path, "/dev/ttyACM0", start);
    const std::string header = Contents(path);
    const std::string first =
        "{\"t\": 0.001000, \"from\": \"host\", \"hex\": \"aa\", \"frame\": "
        "\"get_temperature\", \"fields\": {}}\n";
    int failure = 0;
    bool written = true;
    {
        // Room for the first line and half the second.
        FileSizeLimit limit(header.size() + first.size() + 40);
        writer.Add(Frame(Direction::FromHost, start + std::chrono::milliseconds(1), {0xAA},
                         "get_temperature"));
        writer.Add(Frame(Direction::FromDevice, start + std::chrono::milliseconds(2),
                         {0xAA, 0, 0, 0xC8, 0x41}, "temperature"));
        written = writer.WriteAdded();
        failure = errno;
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(failure, EFBIG);
    EXPECT_EQ(Contents(path), header + first);
}

TEST(RecordingReader, ReadsFramesOneByOneWithTheirLines) {
    TemporaryFolder folder;
    const std::string path = folder.File("session.jsonl");
    std::ofstream(path) << "\n{\"recording\": 1}\r\n"
                           "{\"t\": 0.5, \"from\": \"host\", \"hex\": \"AC\"}\n"
                           "{\"t\": 0.5, \"device\": \"arm\"}\n"
                           " \t\n"
                           "{\"t\": 0.75, \"from\": \"device\", \"hex\": \"ac01\"}\n"
                           "{\"t\": 0.8, \"from\": \"ho";
    RecordingReader reader(path);
    std::optional<RecordedFrame> frame = reader.Next();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->line, 3u);
    EXPECT_EQ(frame->t, 0.5);
    EXPECT_EQ(frame->from, Direction::FromHost);
    EXPECT_EQ(frame->bytes, std::vector<std::uint8_t>{0xAC});
    frame = reader.Next();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->line, 6u);
    EXPECT_EQ(frame->from, Direction::FromDevice);
    EXPECT_EQ(frame->bytes, (std::vector<std::uint8_t>{0xAC, 0x01}));
    EXPECT_FALSE(reader.CutShort());
    EXPECT_FALSE(reader.Next());
    ASSERT_TRUE(reader.CutShort());
    EXPECT_EQ(*reader.CutShort(),
              "line 7 has no newline and cannot be read (column 23: a string is not closed)");
    EXPECT_FALSE(reader.Next());
}

TEST(RecordingReader, ARefusalNamesTheFileAndTheLine) {
    TemporaryFolder folder;
    const std::string path = folder.File("bad.jsonl");
    std::ofstream(path) << "{\"recording\": 1}\n{\"t\": 0.5, \"from\": \"host\", \"hex\": \"ac\"}\n"
                           "{\"t\": false, \"from\": \"host\", \"hex\": \"ac\"}\n";
    RecordingReader reader(path);
    ASSERT_TRUE(reader.Next());
    try {
        reader.Next();
        FAIL() << "a boolean time was read";
    } catch (const RecordingError& error) {
        EXPECT_STREQ(error.what(), ("cannot replay " + path +
                                    ": line 3: \"t\" must be a number of seconds from 0 to "
                                    "1000000000")
                                       .c_str());
    }
}

}  // namespace
