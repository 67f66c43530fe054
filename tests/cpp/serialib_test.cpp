#include "serialib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "FakeDevice.h"
#include "PortReclaimer.h"
#include "SystemCallLog.h"
#include "TestSupport.h"

namespace Ornix::HardwareAPI::IO {
namespace {

using Testing::Bytes;
using Testing::FakeDevice;
using Testing::LowestFreeDescriptor;
using Testing::Milliseconds;
using Testing::MillisecondsSince;
using Testing::SystemCallLog;
using Clock = std::chrono::steady_clock;

constexpr int kEof = std::char_traits<char>::eof();

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

using Microseconds = std::chrono::microseconds;

// The port's wall clock for the budget rules: it moves only when it is read, by a step the test
// sets, so a budget is spent after a known number of looks at the port however busy the machine
// is. Standing still (a step of 0, as it starts) it spends no budget: a read then waits for the
// bytes the device sends, however late the machine lets them come.
class PortClock {
public:
    static timeval Read() {
        if (readings++ > 0) {
            now += step;
        }
        const auto time = std::chrono::seconds(1000) + now;
        return {static_cast<time_t>(time.count() / 1000000),
                static_cast<suseconds_t>(time.count() % 1000000)};
    }
    // From now on every reading but the next moves the clock on by `each`.
    static void Step(Microseconds each) {
        step = each;
        readings = 0;
        origin = now;
    }
    // How far the clock has moved since Step, and how often it was read.
    static Microseconds Elapsed() { return now - origin; }
    static long Readings() { return readings; }

private:
    static inline Microseconds now{};
    static inline Microseconds origin{};
    static inline Microseconds step{};
    static inline long readings = 0;
};

// A port opened at 115200 8N1 on a fake device, on the port clock above.
class OpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        PortClock::Step(Microseconds(0));
        ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    }

    // Waits until the driver holds `count` bytes, so that a read finds them all at once.
    void AwaitPending(int count) {
        const auto start = Clock::now();
        while (port.pending_bytes() < count && MillisecondsSince(start) < 10000) {
            usleep(1000);
        }
        ASSERT_EQ(port.pending_bytes(), count);
    }

    FakeDevice device;
    serialib port{&PortClock::Read};
};

// The step of the budget tests: a budget is spent at the first look past it, which the looks made
// on the way there (a receive looks more than once per byte) put a few milliseconds later.
constexpr Milliseconds kOneMillisecond(1);

TEST(SerialibOpen, MissingDeviceFailsAndStaysClosed) {
    serialib port;
    EXPECT_EQ(port.open_port("/nonexistent/ornix-port", 115200, 3, 0, 0), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(port.is_open());
    EXPECT_EQ(port.open_port(nullptr, 115200, 3, 0, 0), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(port.is_open());
}

TEST(SerialibOpen, RefusedSettingsLeaveTheDeviceOpen) {
    FakeDevice device;
    struct Case {
        uint32_t baud, data_bits, parity, stop_bits;
        int expected;
    };
    // Checked in the order baud, data bits, stop bits, parity.
    const Case cases[] = {
        {250000, 3, 0, 0, -4}, {115200, 4, 0, 0, -7}, {115200, 3, 0, 1, -8}, {115200, 3, 3, 0, -9},
        {250000, 4, 3, 1, -4}, {115200, 4, 3, 1, -7}, {115200, 3, 3, 1, -8},
    };
    for (const Case& c : cases) {
        serialib port;
        EXPECT_EQ(port.open_port(device.Path().c_str(), c.baud, c.data_bits, c.parity, c.stop_bits),
                  c.expected)
            << c.baud << " " << c.data_bits << " " << c.parity << " " << c.stop_bits;
        EXPECT_TRUE(port.is_open());
    }
}

// Raw, at the speed and in the character format asked. A pseudo-terminal keeps only 8 data bits
// without parity, so the format is read as it was passed.
TEST(SerialibOpen, ConfiguresARawPortInTheFormatAsked) {
    FakeDevice device;
    serialib port;
    ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    termios settings{};
    ASSERT_EQ(tcgetattr(device.TerminalDescriptor(), &settings), 0);
    EXPECT_EQ(settings.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(settings.c_oflag, 0u);
    EXPECT_EQ(settings.c_lflag, 0u);
    EXPECT_EQ(settings.c_cflag & (CSIZE | CSTOPB | PARENB | CLOCAL | CREAD),
              static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));

    struct Case {
        uint32_t baud, data_bits, parity, stop_bits;
        tcflag_t format;
        speed_t speed;
    };
    // 7 data bits, even parity and two stop bits; 5 data bits, odd parity and one.
    const Case cases[] = {
        {9600, 2, 1, 2, CS7 | PARENB | CSTOPB, B9600},
        {300, 0, 2, 0, CS5 | PARENB | PARODD, B300},
    };
    for (const Case& c : cases) {
        SystemCallLog log;
        ASSERT_EQ(port.open_port(device.Path().c_str(), c.baud, c.data_bits, c.parity, c.stop_bits),
                  1);
        ASSERT_EQ(log.settings.size(), 1u);
        EXPECT_EQ(log.settings[0].c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.format) << c.baud;
        EXPECT_EQ(cfgetospeed(&log.settings[0]), c.speed) << c.baud;
    }
}

TEST(SerialibOpen, ReopeningAndDestructionLeakNoDescriptor) {
    FakeDevice device;
    const int free_before = LowestFreeDescriptor();
    {
        serialib port;
        ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
        ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
        ASSERT_EQ(port.open_port(device.Path().c_str(), 250000, 3, 0, 0), -4);
    }
    EXPECT_EQ(LowestFreeDescriptor(), free_before);
}

// A check meets what an opening would, and leaves the port as it found it: closed, and free.
TEST(SerialibOpen, ACheckTellsWhatOpeningWouldMeet) {
    FakeDevice device;
    Testing::TemporaryDirectory directory;
    const std::string file = directory.path + "/notes.txt";
    std::FILE* notes = std::fopen(file.c_str(), "w");
    ASSERT_NE(notes, nullptr);
    std::fclose(notes);
    const int free_before = LowestFreeDescriptor();
    EXPECT_EQ(serialib::check_port("/nonexistent/ttyACM9"), ENOENT);
    EXPECT_EQ(serialib::check_port(nullptr), ENOENT);
    EXPECT_EQ(serialib::check_port(file.c_str()), ENOTTY);
    EXPECT_EQ(serialib::check_port(device.Path().c_str()), 0);
    {
        serialib holder;
        ASSERT_EQ(holder.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
        EXPECT_EQ(serialib::check_port(device.Path().c_str()), EBUSY);
    }
    EXPECT_EQ(serialib::check_port(device.Path().c_str()), 0);
    EXPECT_EQ(LowestFreeDescriptor(), free_before);
}

// A port held by a descriptor that the process's reclaimer lets go of is opened; one that it
// cannot free is refused after the reclaimer's tries, and no reclaimer refuses it at once.
serialib* dropped = nullptr;
int reclaims = 0;

TEST(SerialibOpen, APortHeldByWhatTheProcessDroppedIsReclaimed) {
    FakeDevice device;
    serialib holder;
    ASSERT_EQ(holder.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    EXPECT_EQ(serialib::check_port(device.Path().c_str()), EBUSY);

    reclaims = 0;
    PortReclaimer::Install([] { ++reclaims; });
    serialib refused;
    EXPECT_EQ(refused.open_port(device.Path().c_str(), 115200, 3, 0, 0), -2);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(reclaims, 3);

    reclaims = 0;
    dropped = &holder;
    PortReclaimer::Install([] {
        if (++reclaims == 2) {
            dropped->close_port();
        }
    });
    serialib opened;
    EXPECT_EQ(opened.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    EXPECT_EQ(reclaims, 2);
    PortReclaimer::Install(nullptr);
    EXPECT_EQ(serialib::check_port(device.Path().c_str()), EBUSY);
}

TEST(SerialibOpen, OnlyTerminalsAreOpened) {
    Testing::TemporaryDirectory directory;
    const std::string file = directory.path + "/notes.txt";
    const std::string fifo = directory.path + "/fifo";
    {
        std::FILE* notes = std::fopen(file.c_str(), "w");
        ASSERT_NE(notes, nullptr);
        std::fputs("keep me as I am", notes);
        std::fclose(notes);
    }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int free_before = LowestFreeDescriptor();
    for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
        serialib port;
        errno = 0;
        EXPECT_EQ(port.open_port(path.c_str(), 115200, 3, 0, 0), -2) << path;
        EXPECT_EQ(errno, ENOTTY) << path;
        EXPECT_FALSE(port.is_open()) << path;
        EXPECT_EQ(port.sputn("\x2A\x00\x00\x00", 4), 0) << path;
    }
    EXPECT_EQ(LowestFreeDescriptor(), free_before);
    char text[32] = {};
    std::FILE* notes = std::fopen(file.c_str(), "r");
    ASSERT_NE(notes, nullptr);
    ASSERT_NE(std::fgets(text, sizeof text, notes), nullptr);
    std::fclose(notes);
    EXPECT_STREQ(text, "keep me as I am");
}

TEST_F(OpenPort, UnderflowWithoutDataGivesEofAfterOneSecond) {
    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.sgetc(), kEof);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(1000));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(1010));
}

TEST_F(OpenPort, UnderflowPeeksAndUflowConsumes) {
    device.Reply(Text("AB"));
    EXPECT_EQ(port.sgetc(), 'A');
    EXPECT_EQ(port.sgetc(), 'A');
    EXPECT_EQ(port.sbumpc(), 'A');
    EXPECT_EQ(port.sbumpc(), 'B');
}

TEST_F(OpenPort, BytesAboveSevenBitsComeBackUnsigned) {
    device.Reply({0xF0});
    EXPECT_EQ(port.sgetc(), 0xF0);
}

TEST_F(OpenPort, BulkReadReturnsShortCountAtItsBudget) {
    device.Reply(Text("abc"));
    AwaitPending(3);
    char buffer[5];
    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.sgetn(buffer, 5), 3);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(1000));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(1010));
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

// The port clock stands still: the budget is never spent, and the read goes on looking.
TEST_F(OpenPort, BulkReadCollectsBytesArrivingWithinItsBudget) {
    device.Reply(Text("ab")).Reply(Text("cd"), Milliseconds(300));
    char buffer[4];
    EXPECT_EQ(port.sgetn(buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(OpenPort, BulkReadDeliversTheHeldByteFirst) {
    char buffer[3];
    ASSERT_EQ(port.sputbackc('h'), 'h');
    EXPECT_EQ(port.sgetn(buffer, 1), 1);
    EXPECT_EQ(PortClock::Readings(), 0);
    EXPECT_EQ(buffer[0], 'h');

    device.Reply(Text("yz"));
    AwaitPending(2);
    ASSERT_EQ(port.sputbackc('x'), 'x');
    EXPECT_EQ(port.sgetn(buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST_F(OpenPort, BulkReadTakesALargeBlockAtOnce) {
    Bytes block(200);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(i);
    }
    device.Reply(block);
    AwaitPending(200);
    char buffer[200];
    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.sgetn(buffer, 200), 200);
    // Taken at the first look at the port.
    EXPECT_LE(PortClock::Elapsed(), kOneMillisecond);
    EXPECT_EQ(Bytes(buffer, buffer + 200), block);
}

TEST_F(OpenPort, AvailabilityWithAHeldByteNeedsNoPort) {
    ASSERT_EQ(port.sputbackc('q'), 'q');
    EXPECT_EQ(port.in_avail(), 1);
    EXPECT_EQ(PortClock::Readings(), 0);
    EXPECT_EQ(port.sbumpc(), 'q');
}

TEST_F(OpenPort, AvailabilityHoldsTheByteItFinds) {
    device.Reply(Text("z"));
    EXPECT_EQ(port.in_avail(), 1);
    EXPECT_EQ(port.pending_bytes(), 0);
    EXPECT_EQ(port.sbumpc(), 'z');

    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.in_avail(), 0);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(1000));
}

TEST_F(OpenPort, OneByteCanBePutBackAtATime) {
    EXPECT_EQ(port.sputbackc('a'), 'a');
    EXPECT_EQ(port.sputbackc('b'), kEof);
    EXPECT_EQ(port.sungetc(), kEof);
    EXPECT_EQ(port.sbumpc(), 'a');
    EXPECT_EQ(port.sputbackc('c'), 'c');
    EXPECT_EQ(port.sbumpc(), 'c');
}

TEST_F(OpenPort, HeldByteSurvivesReopeningButPortReadsIgnoreIt) {
    ASSERT_EQ(port.sputbackc('k'), 'k');
    port.close_port();
    ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    device.Reply(Text("m"));
    char byte = 0;
    EXPECT_EQ(port.receive_byte(&byte, 1000), 1);
    EXPECT_EQ(byte, 'm');
    EXPECT_EQ(port.sbumpc(), 'k');
}

TEST_F(OpenPort, WritesReachTheDevice) {
    Bytes block(200, 0x5A);
    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(block.data()), 200), 200);
    EXPECT_EQ(port.sputc('x'), 'x');
    EXPECT_EQ(port.send_byte('y'), 1);
    EXPECT_EQ(port.send_text("hello"), 1);
    EXPECT_EQ(port.send_bytes("\x01\x02", 2), 2);
    Bytes expected = block;
    for (uint8_t byte : Text("xyhello\x01\x02")) {
        expected.push_back(byte);
    }
    ASSERT_TRUE(device.WaitForReceived(expected.size(), Milliseconds(2000)));
    EXPECT_EQ(device.Received(), expected);
}

TEST_F(OpenPort, EachBlockIsOneSystemCall) {
    const Bytes block(200, 0xA5);
    SystemCallLog log;
    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(block.data()), 200), 200);
    EXPECT_EQ(port.sputc('x'), 'x');
    ASSERT_EQ(log.writes.size(), 2u);
    EXPECT_EQ(log.writes[0].size, 200u);
    EXPECT_EQ(log.writes[1].size, 1u);
}

TEST_F(OpenPort, UnpluggedDeviceEndsReadsAtTheirBudgetAndFailsWrites) {
    device.Hangup();
    ASSERT_TRUE(device.WaitUntilPlayed(Milliseconds(2000)));
    char buffer[4];
    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.receive_bytes(buffer, 4, 300, 100), 0);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(300));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(310));
    EXPECT_EQ(port.sgetn(buffer, 4), 0);
    EXPECT_EQ(port.send_bytes("ab", 2), -1);
    EXPECT_EQ(port.sputn("ab", 2), 0);
    EXPECT_EQ(port.sputc('a'), kEof);
}

TEST_F(OpenPort, PendingBytesCountAndDiscardDropsThem) {
    device.Reply(Text("12345"));
    AwaitPending(5);
    EXPECT_EQ(port.discard_input(), 1);
    EXPECT_EQ(port.pending_bytes(), 0);
}

// A pseudo-terminal has no modem lines: reading the status word fails, so every setter starts
// from an empty word and every query reads false.
TEST_F(OpenPort, ControlLineSettersWriteTheWholeStatusWord) {
    SystemCallLog log;
    EXPECT_EQ(port.set_dtr(true), 1);
    EXPECT_EQ(port.raise_rts(), 1);
    EXPECT_EQ(port.lower_dtr(), 1);
    EXPECT_EQ(log.modem_words, (std::vector<int>{TIOCM_DTR, TIOCM_RTS, 0}));
    EXPECT_FALSE(port.dtr_active());
    EXPECT_FALSE(port.cts_active());
    EXPECT_FALSE(port.dcd_active());
}

TEST_F(OpenPort, ReceiveUntilStopsAtTheTerminator) {
    device.Reply(Text("abcd\nef"));
    char buffer[16];
    std::memset(buffer, 'X', sizeof buffer);
    EXPECT_EQ(port.receive_until(buffer, '\n', 10, 1000), 5);
    EXPECT_EQ(std::string(buffer), "abcd\n");
    // The rest stays in the port.
    EXPECT_EQ(port.receive_until(buffer, 'f', 10, 0), 2);
    EXPECT_EQ(std::string(buffer), "ef");
}

TEST_F(OpenPort, ReceiveUntilGivesUpAtItsLimits) {
    char buffer[16];
    EXPECT_EQ(port.receive_until(buffer, '\n', 0, 1000), -3);
    EXPECT_EQ(port.receive_until(buffer, '\n', 0, 0), -3);

    device.Reply(Text("abcdefgh"));
    EXPECT_EQ(port.receive_until(buffer, '\n', 4, 1000), -3);
    EXPECT_EQ(port.receive_until(buffer, '\n', 4, 0), -3);

    device.Reply(Text("ab"));
    AwaitPending(2);
    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.receive_until(buffer, '\n', 10, 300), 0);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(300));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(310));
    EXPECT_EQ(std::string(buffer), "ab");
}

// A clock that moves on an hour at every look would spend any budget at once.
TEST_F(OpenPort, ReceiveByteWithoutLimitWaitsForTheByte) {
    device.Reply(Text("w"), Milliseconds(300));
    char byte = 0;
    PortClock::Step(std::chrono::hours(1));
    EXPECT_EQ(port.receive_byte(&byte, 0), 1);
    EXPECT_EQ(byte, 'w');

    PortClock::Step(kOneMillisecond);
    EXPECT_EQ(port.receive_byte(&byte, 200), 0);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(200));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(210));
}

TEST_F(OpenPort, ReceiveBytesWithoutLimitWaitsForAllOfThem) {
    device.Reply(Text("abc")).Reply(Text("de"), Milliseconds(200));
    PortClock::Step(std::chrono::hours(1));
    char buffer[5];
    EXPECT_EQ(port.receive_bytes(buffer, 5, 0, 100), 5);
    EXPECT_EQ(std::string(buffer, 5), "abcde");
}

TEST(SerialibClosed, EveryOperationFailsQuietly) {
    serialib port;
    char buffer[4];
    EXPECT_EQ(port.sgetc(), kEof);
    EXPECT_EQ(port.sbumpc(), kEof);
    EXPECT_EQ(port.sgetn(buffer, 4), 0);
    EXPECT_EQ(port.in_avail(), 0);
    EXPECT_EQ(port.sputn("ab", 2), 0);
    EXPECT_EQ(port.sputc('a'), kEof);
    EXPECT_EQ(port.pending_bytes(), 0);
    EXPECT_EQ(port.send_byte('a'), -1);
    EXPECT_EQ(port.send_text("ab"), -1);
    EXPECT_EQ(port.send_bytes("ab", 2), -1);
    EXPECT_EQ(port.receive_byte(buffer, 100), -2);
    EXPECT_EQ(port.receive_bytes(buffer, 4, 100, 100), -2);
    EXPECT_EQ(port.set_dtr(true), 1);
    EXPECT_FALSE(port.dtr_active());
}

TEST(SerialibReadError, FailedReadsAreReportedAsErrors) {
    FakeDevice device;
    serialib port;
    const int fd = LowestFreeDescriptor();
    ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    // The port's descriptor now refers to a file open for writing only: every read fails.
    const int write_only = open("/dev/null", O_WRONLY);
    ASSERT_EQ(dup2(write_only, fd), fd);
    close(write_only);
    char buffer[8];
    EXPECT_EQ(port.receive_bytes(buffer, 8, 1000, 100), -2);
    EXPECT_EQ(port.receive_byte(buffer, 1000), -2);
    EXPECT_EQ(port.receive_until(buffer, '\n', 4, 1000), -2);
    EXPECT_EQ(port.receive_until(buffer, '\n', 4, 0), -2);
    EXPECT_EQ(port.sgetn(buffer, 8), 0);
    EXPECT_EQ(port.sgetc(), kEof);
    EXPECT_EQ(port.in_avail(), 0);
    ASSERT_EQ(port.sputbackc('h'), 'h');
    EXPECT_EQ(port.sgetn(buffer, 2), 0);
}

// Writes the port cannot take at once: the device stops reading, the line fills up.
class StalledDevice : public OpenPort {
protected:
    // Writes bytes until the line takes no more; the count taken. The kernel goes on moving bytes
    // along a pseudo-terminal's buffers after a write has been refused, making room again, so the
    // line counts as full only once a pause has made none.
    size_t FillTheLine() {
        size_t taken = 0;
        for (int round = 0; round < 20; ++round) {
            const size_t before = taken;
            while (port.send_byte(0x1C) == 1) {
                ++taken;
            }
            if (round > 0 && taken == before) {
                break;
            }
            std::this_thread::sleep_for(Milliseconds(100));
        }
        return taken;
    }
};

// The port clock stands still, so the write's budget cannot run out before the device reads.
TEST_F(StalledDevice, WriteWaitsUntilTheDeviceReadsAgain) {
    device.Stall(Milliseconds(1000));
    const size_t taken = FillTheLine();
    ASSERT_GT(taken, 0u);
    const Bytes frame(13, 0x2A);
    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(frame.data()), 13), 13);
    ASSERT_TRUE(device.WaitForReceived(taken + 13, Milliseconds(10000)));
    const Bytes received = device.Received();
    EXPECT_EQ(received.size(), taken + 13);
    EXPECT_EQ(Bytes(received.end() - 13, received.end()), frame);
}

// The device stalls far longer than the budget. Between looks at the port clock the write waits
// in the kernel for the rest of its budget, so with a step of 600 ms it gives up at the first look
// past the second, after about 400 ms of real waiting.
TEST_F(StalledDevice, WriteGivesUpAfterItsBudgetWithoutSpinning) {
    device.Stall(Milliseconds(10000));
    ASSERT_GT(FillTheLine(), 0u);
    const Bytes frame(13, 0x1C);
    PortClock::Step(Milliseconds(600));
    const double processor_before = Testing::ThreadProcessorSeconds();
    EXPECT_EQ(port.sputn(reinterpret_cast<const char*>(frame.data()), 13), 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(PortClock::Elapsed(), Milliseconds(1000));
    EXPECT_LT(PortClock::Elapsed(), Milliseconds(1600));
    EXPECT_LT(Testing::ThreadProcessorSeconds() - processor_before, 0.2);
}

TEST_F(OpenPort, InputWaitEndsWhenBytesArrive) {
    device.Reply(Text("ab"), Milliseconds(100));
    const auto start = Clock::now();
    int result = serialib::kInputNotYet;
    while (result != serialib::kInputWaiting && MillisecondsSince(start) < 10000) {
        result = port.wait_for_input(2, 1000000);
    }
    EXPECT_EQ(result, serialib::kInputWaiting);
    EXPECT_EQ(port.pending_bytes(), 2);
}

// Waits of 100 ms, one after another for 600 ms of real time: each lasts its whole limit in the
// kernel, so there are at most seven of them, and a busy machine can only make that fewer.
// A silent line is waited on in the kernel; one that has hung up (the device unplugged) ends the
// wait at once, since no byte can come any more.
TEST_F(OpenPort, InputWaitOnASilentLineUsesNoProcessorAndOnAHungUpOneEnds) {
    int waits = 0;
    const auto start = Clock::now();
    const double processor_before = Testing::ThreadProcessorSeconds();
    while (MillisecondsSince(start) < 600) {
        EXPECT_EQ(port.wait_for_input(1, 100000), serialib::kInputNotYet);
        ++waits;
    }
    EXPECT_LE(waits, 7);
    EXPECT_LT(Testing::ThreadProcessorSeconds() - processor_before, 0.1);
    device.Hangup();
    ASSERT_TRUE(device.WaitUntilPlayed(Milliseconds(2000)));
    const auto hung_up = Clock::now();
    EXPECT_EQ(port.wait_for_input(1, 5000000), serialib::kLineGone);
    EXPECT_LT(MillisecondsSince(hung_up), 2500);
}

TEST_F(OpenPort, InputWaitEndsOnASignal) {
    struct sigaction quiet{};
    quiet.sa_handler = [](int) {};
    struct sigaction saved{};
    ASSERT_EQ(sigaction(SIGUSR1, &quiet, &saved), 0);
    // Signalled again and again until the wait is over: one signal alone could come before the
    // wait began, on a busy machine.
    const pthread_t waiting = pthread_self();
    std::atomic<bool> over{false};
    std::thread signaller([waiting, &over] {
        for (;;) {
            std::this_thread::sleep_for(Milliseconds(50));
            if (over) {
                return;
            }
            pthread_kill(waiting, SIGUSR1);
        }
    });
    EXPECT_EQ(port.wait_for_input(1, 60000000), serialib::kWaitInterrupted);
    over = true;
    signaller.join();
    sigaction(SIGUSR1, &saved, nullptr);
}

// A wall clock that is set back by a second right after the wait starts. Should a wait ignore
// that, the clock jumps forward again after many readings, so the test ends either way.
int clock_readings = 0;
timeval SteppingBackClock() {
    ++clock_readings;
    if (clock_readings == 1) {
        return {1000, 0};
    }
    return clock_readings < 100000 ? timeval{999, 0} : timeval{2000, 0};
}

TEST(SerialibClockSetBack, EndsEveryTimedWaitAtOnce) {
    FakeDevice device;
    serialib port(&SteppingBackClock);
    ASSERT_EQ(port.open_port(device.Path().c_str(), 115200, 3, 0, 0), 1);
    char buffer[8];

    clock_readings = 0;
    EXPECT_EQ(port.receive_bytes(buffer, 8, 1000, 100), 0);
    EXPECT_LT(clock_readings, 5);

    clock_readings = 0;
    EXPECT_EQ(port.receive_byte(buffer, 1000), 0);
    EXPECT_LT(clock_readings, 5);

    clock_readings = 0;
    EXPECT_EQ(port.receive_until(buffer, '\n', 4, 1000), 0);
    EXPECT_LT(clock_readings, 5);

    clock_readings = 0;
    EXPECT_EQ(port.sgetn(buffer, 8), 0);
    EXPECT_LT(clock_readings, 5);
}

}  // namespace
}  // namespace Ornix::HardwareAPI::IO
