// The in-memory link's script, which the protocol tests trust to play the device: it must answer
// only what was asked, when it was asked, and fail the test otherwise.
#include "MemoryLink.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace Ornix::Testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(MemoryLinkScript, RepliesOnlyAfterTheExpectedRequestAndItsDelay) {
    MemoryLink link;
    link.Expect({0x0A}).Reply({0x0B}, milliseconds(200)).Reply({0x0C}, milliseconds(100));
    EXPECT_EQ(link.Unread(), 0u);
    link.SetNow(seconds(1010));
    const uint8_t request = 0x0A;
    link.Write(&request, 1);
    EXPECT_TRUE(link.Played());
    EXPECT_EQ(link.Unread(), 2u);
    EXPECT_EQ(link.Available(), 0);
    link.SetNow(seconds(1010) + milliseconds(200));
    EXPECT_EQ(link.Available(), 1);
    link.SetNow(seconds(1010) + milliseconds(300));
    EXPECT_EQ(link.Available(), 2);
}

TEST(MemoryLinkScript, ReplyAddedWhileAnotherIsOnItsWayComesAfterIt) {
    MemoryLink link;
    link.Reply({0x01}, milliseconds(50));
    link.Reply({0x02}, milliseconds(10));
    link.SetNow(seconds(1000) + milliseconds(59));
    EXPECT_EQ(link.Available(), 1);
    link.SetNow(seconds(1000) + milliseconds(60));
    EXPECT_EQ(link.Available(), 2);
}

// A hang-up at its virtual time takes what was still to come; a wait for input past it ends then,
// and at once afterwards, unless what it waits for is there.
TEST(MemoryLinkScript, AHangUpEndsTheWaitsAtItsTime) {
    MemoryLink link;
    link.Arrive({0x03}, milliseconds(60));
    link.Reply({0x01}).Hangup(milliseconds(50)).Reply({0x02});
    EXPECT_EQ(link.Unread(), 1u);
    EXPECT_EQ(link.WaitForInput(1, seconds(1)), MemoryLink::InputWait::Waiting);
    EXPECT_EQ(link.WaitForInput(2, seconds(1)), MemoryLink::InputWait::Gone);
    EXPECT_EQ(link.Now(), seconds(1000) + milliseconds(50));
    EXPECT_EQ(link.WaitForInput(1, seconds(1)), MemoryLink::InputWait::Waiting);
    EXPECT_EQ(link.WaitForInput(2, seconds(1)), MemoryLink::InputWait::Gone);
    EXPECT_EQ(link.Now(), seconds(1000) + milliseconds(50));
}

// While the device stalls it reads nothing: the request written during the stall is taken when
// it ends, and the reply counts from then; a seek skips what came before its bytes.
TEST(MemoryLinkScript, AStalledDeviceTakesTheRequestWhenItReadsAgain) {
    MemoryLink link;
    link.Stall(milliseconds(100)).Seek({0x0A}).Reply({0x0B}, milliseconds(5));
    link.Write(Bytes({0x01, 0x0A}).data(), 2);
    EXPECT_FALSE(link.Played());
    EXPECT_EQ(link.WaitForInput(1, seconds(1)), MemoryLink::InputWait::Waiting);
    EXPECT_TRUE(link.Played());
    EXPECT_EQ(link.Now(), seconds(1000) + milliseconds(105));
}

TEST(MemoryLinkScript, FailsTheTestOnAMismatchedRequest) {
    EXPECT_NONFATAL_FAILURE(
        {
            MemoryLink link;
            link.Expect({0x01, 0x02});
            link.Write(Bytes({0x01, 0x03}).data(), 2);
        },
        "expected 01 02, received 01 03");
}

TEST(MemoryLinkScript, FailsTheTestOnUnplayedSteps) {
    EXPECT_NONFATAL_FAILURE(
        {
            MemoryLink link;
            link.Expect({0x01}).Reply({0x02});
        },
        "2 script steps not played");
}

}  // namespace
}  // namespace Ornix::Testing
