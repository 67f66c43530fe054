#include "Pacer.h"

namespace Ornix::Companion {

uint64_t Pacer::Advance(Nanoseconds now) {
    deadline += period;
    if (now < deadline + period) {
        return 0;
    }
    // Every deadline before the latest one that has passed is skipped: the loop resumes on the
    // grid with the tick due most recently, late by less than a period.
    const auto skipped = static_cast<uint64_t>((now - deadline) / period);
    deadline += period * static_cast<Nanoseconds::rep>(skipped);
    return skipped;
}

}  // namespace Ornix::Companion
