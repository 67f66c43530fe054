#include "Recording.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
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

TEST(RecordingWriter, RefusesToReplaceAFile) {
    TemporaryFolder folder;
    const std::string path = folder.File("kept.jsonl");
    std::ofstream(path) << "field data\n";
    EXPECT_THROW(RecordingWriter(path, "/dev/ttyUSB0", std::chrono::steady_clock::now()),
                 RecordingError);
    EXPECT_EQ(Contents(path), "field data\n");
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
