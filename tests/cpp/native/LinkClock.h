// The servo loop's and the handle reader's clock read off the in-memory link's virtual one:
// waiting for a deadline moves the link's time on to it, so that every time in the tests that
// use it is virtual.
#pragma once

#include <chrono>

#include "MemoryLink.h"
#include "ServoClock.h"

namespace Ornix::Companion {

class LinkClock : public ServoClock {
public:
    explicit LinkClock(Testing::MemoryLink& link) : link(link) {}
    Nanoseconds Now() override { return link.Now(); }
    void WaitUntil(Nanoseconds deadline) override {
        if (deadline > link.Now()) {
            link.SetNow(std::chrono::duration_cast<std::chrono::microseconds>(deadline));
        }
    }

private:
    Testing::MemoryLink& link;
};

}  // namespace Ornix::Companion
