#include "SeqLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace Ornix::Companion {
namespace {

struct Triple {
    double a, b, c;
};

// A reader copying while the writer replaces the value never sees parts of two values: every
// copy has its three fields equal, however the two threads interleave.
TEST(SeqLock, ReadersNeverSeeAHalfWrittenValue) {
    SeqLock<Triple> value(Triple{0, 0, 0});
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 1; i <= 200000; ++i) {
            const double d = i;
            value.Store({d, d, d});
        }
        done.store(true);
    });
    long reads = 0, torn = 0;
    double last = 0;
    bool backwards = false;
    while (!done.load() || reads == 0) {
        const Triple seen = value.Load();
        torn += seen.a != seen.b || seen.b != seen.c;
        backwards = backwards || seen.a < last;
        last = seen.a;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_FALSE(backwards);
    EXPECT_EQ(value.Load().c, 200000.0);
    EXPECT_EQ(value.Stores(), 200001u);
}

}  // namespace
}  // namespace Ornix::Companion
