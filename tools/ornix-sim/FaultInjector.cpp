#include "FaultInjector.h"

#include <iterator>

namespace {

// No host of any Ornix device expects this code.
constexpr std::uint8_t kWrongCode = 0xEE;
// Not the start of any frame either device sends.
constexpr std::uint8_t kGarbage[] = {0x55, 0x00, 0x66};

}  // namespace

FaultInjector::Outcome FaultInjector::Apply(std::vector<std::uint8_t>& message) {
    ++produced_;
    const bool hang_up = settings_.disconnect_after != 0 && produced_ >= settings_.disconnect_after;
    if (settings_.silent) {
        return {false, hang_up};
    }
    if (IsNth(settings_.wrong_code_every)) {
        message.front() = kWrongCode;
    }
    if (IsNth(settings_.truncate_every)) {
        message.resize(message.size() / 2);
    }
    if (IsNth(settings_.garbage_every)) {
        message.insert(message.begin(), std::begin(kGarbage), std::end(kGarbage));
    }
    return {true, hang_up};
}
