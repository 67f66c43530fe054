#include "MemoryLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace Ornix::Testing {

namespace {

MemoryLink* current = nullptr;

}  // namespace

MemoryLink::MemoryLink() : SerialStream(nullptr, false) {
    rdbuf(&buffer);
    current = this;
}

MemoryLink::~MemoryLink() {
    if (current == this) {
        current = nullptr;
    }
    for (const std::string& mismatch : mismatches) {
        ADD_FAILURE() << "memory link: " << mismatch;
    }
    if (!Played()) {
        ADD_FAILURE() << "memory link: " << steps.size() - next_step << " script steps not played";
    }
}

void MemoryLink::AddStep(Step step) {
    if (Played()) {
        // Nothing is left to play: the script goes on from now, or from its last reply if that
        // is still to come.
        last_step_at = std::max(last_step_at, now);
    }
    steps.push_back(std::move(step));
    PlayScript();
}

void MemoryLink::PlayScript() {
    using Kind = Step::Kind;
    for (; next_step < steps.size(); ++next_step) {
        const Step& step = steps[next_step];
        const auto from = written.begin() + static_cast<std::ptrdiff_t>(matched);
        const bool reading = !reading_from || now >= *reading_from;
        switch (step.kind) {
            case Kind::Expect: {
                if (!reading || written.size() - matched < step.bytes.size()) {
                    return;
                }
                const Bytes got(from, from + static_cast<std::ptrdiff_t>(step.bytes.size()));
                if (got != step.bytes) {
                    mismatches.push_back("step " + std::to_string(next_step) + " expected " +
                                         Hex(step.bytes) + ", received " + Hex(got));
                }
                matched += step.bytes.size();
                last_step_at = std::max(last_step_at, now);
                break;
            }
            case Kind::Seek: {
                const auto found =
                    std::search(from, written.end(), step.bytes.begin(), step.bytes.end());
                if (!reading || found == written.end()) {
                    return;
                }
                matched = static_cast<size_t>(found - written.begin()) + step.bytes.size();
                last_step_at = std::max(last_step_at, now);
                break;
            }
            case Kind::Reply:
                last_step_at += step.time;
                // An unplugged device sends nothing more.
                if (!hangup_at) {
                    Arrive(step.bytes, last_step_at - now);
                }
                break;
            case Kind::Hangup:
                last_step_at += step.time;
                if (!hangup_at) {
                    hangup_at = last_step_at;
                    // What was still to come is lost with the line.
                    while (!buffer.bytes.empty() && buffer.bytes.back().at > *hangup_at) {
                        buffer.bytes.pop_back();
                    }
                    buffer.flood.clear();
                }
                break;
            case Kind::Stall:
                reading_from = last_step_at + step.time;
                break;
            case Kind::Flood:
                if (!hangup_at) {
                    buffer.flood = step.bytes;
                }
                break;
        }
    }
}

Microseconds MemoryLink::Clock() {
    ++current->clock_readings;
    current->MoveTo(current->now + Microseconds(1));
    return current->now;
}

void MemoryLink::MoveTo(Microseconds time) {
    if (reading_from && time >= *reading_from) {
        // The steps that waited for the device to read again are played when it does.
        now = std::max(now, *reading_from);
        reading_from.reset();
        PlayScript();
    }
    now = time;
    if (clock_change && now >= clock_change->first) {
        now = clock_change->second;
        clock_change.reset();
    }
}

MemoryLink& MemoryLink::Arrive(const Bytes& bytes, Microseconds after) {
    const Microseconds at = now + after;
    // Kept in order of arrival; bytes arriving at the same time keep their order.
    auto place = std::upper_bound(buffer.bytes.begin(), buffer.bytes.end(), at,
                                  [](Microseconds time, const Arrival& a) { return time < a.at; });
    for (uint8_t byte : bytes) {
        place = buffer.bytes.insert(place, Arrival{at, byte}) + 1;
    }
    return *this;
}

int MemoryLink::Available() const {
    const auto arrived = std::find_if(buffer.bytes.begin(), buffer.bytes.end(),
                                      [&](const Arrival& a) { return a.at > now; });
    const int flooding = buffer.flood.empty() ? 0 : kFloodWaiting;
    return static_cast<int>(arrived - buffer.bytes.begin()) + flooding;
}

std::optional<Microseconds> MemoryLink::ArrivalOf(size_t count) const {
    if (!buffer.flood.empty() && count > 0) {
        return now;
    }
    if (count == 0 || count > buffer.bytes.size()) {
        return std::nullopt;
    }
    return buffer.bytes[count - 1].at;
}

void MemoryLink::Write(const void* data, size_t length) {
    // As the standard stream does: nothing goes out while the state is not good.
    if (!good()) {
        return;
    }
    if (failing_writes) {
        setstate(std::ios::badbit);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    const Bytes frame(bytes, bytes + length);
    written.insert(written.end(), frame.begin(), frame.end());
    if (responder) {
        responder(*this, frame);
    }
    PlayScript();
}

MemoryLink::InputWait MemoryLink::WaitForInput(size_t count, std::chrono::microseconds limit) {
    ++kernel_waits;
    const auto arrived = [&] { return static_cast<size_t>(Available()) >= count; };
    if (HungUp()) {
        return arrived() ? InputWait::Waiting : InputWait::Gone;
    }
    const Microseconds end = now + limit;
    for (;;) {
        Microseconds until = end;
        const std::optional<Microseconds> ready = ArrivalOf(count);
        if (ready && *ready < until) {
            until = std::max(*ready, now);
        }
        if (hangup_at && *hangup_at < until) {
            until = *hangup_at;
        }
        // Once the device reads again, what it sends may end the wait sooner.
        const bool stall_ends = reading_from && *reading_from < until;
        if (stall_ends) {
            until = *reading_from;
        }
        if (signal_at && *signal_at <= until) {
            MoveTo(std::max(now, *signal_at));
            signal_at.reset();
            return InputWait::Interrupted;
        }
        MoveTo(until);
        if (!stall_ends) {
            break;
        }
    }
    if (arrived()) {
        return InputWait::Waiting;
    }
    return HungUp() ? InputWait::Gone : InputWait::NotYet;
}

std::streamsize MemoryLink::Buffer::xsgetn(char_type* s, std::streamsize n) {
    if (failing) {
        throw std::runtime_error("read failed");
    }
    std::streamsize stored = 0;
    while (stored < n && !bytes.empty() && bytes.front().at <= link.Now()) {
        s[stored++] = static_cast<char_type>(bytes.front().byte);
        bytes.pop_front();
    }
    if ((bytes.empty() || bytes.front().at > link.Now()) && !flood.empty()) {
        const Microseconds reading(n - stored);
        for (; stored < n; ++stored, ++flooded) {
            s[stored] = NextFlooded();
        }
        link.MoveTo(link.Now() + reading);
    }
    return stored;
}

MemoryLink::Buffer::int_type MemoryLink::Buffer::underflow() {
    if (failing) {
        throw std::runtime_error("read failed");
    }
    if (bytes.empty() || bytes.front().at > link.Now()) {
        return flood.empty() ? traits_type::eof() : traits_type::to_int_type(NextFlooded());
    }
    return traits_type::to_int_type(static_cast<char_type>(bytes.front().byte));
}

MemoryLink::Buffer::int_type MemoryLink::Buffer::uflow() {
    const bool from_flood = bytes.empty() || bytes.front().at > link.Now();
    const int_type c = underflow();
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return c;
    }
    if (from_flood) {
        ++flooded;
        link.MoveTo(link.Now() + Microseconds(1));
    } else {
        bytes.pop_front();
    }
    return c;
}

}  // namespace Ornix::Testing
