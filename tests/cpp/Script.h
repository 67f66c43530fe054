// The steps a scripted device plays, the same for every player (FakeDevice on a pseudo-terminal,
// MemoryLink on a virtual clock) and for the Python fake device: what the code under test must
// send, what the device sends back and when, its hang-ups, stalls and floods. Tests write steps
// with the players' builders, Expect(...).Reply(...), or load a script file of tests/scripts;
// both give the same records. The steps and the file format are described in
// tests/scripts/README.md.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Ornix::Testing {

using Bytes = std::vector<uint8_t>;
using Milliseconds = std::chrono::milliseconds;
using Microseconds = std::chrono::microseconds;

struct Step {
    enum class Kind { Expect, Seek, Reply, Hangup, Stall, Flood };

    Kind kind;
    // The request expected or sought, the reply, the flood's pattern.
    Bytes bytes;
    // A reply's or hang-up's delay after the step before; a stall's length.
    Microseconds time;

    bool operator==(const Step& other) const {
        return kind == other.kind && bytes == other.bytes && time == other.time;
    }
};

using Script = std::vector<Step>;

// A script text that cannot be read; the message names the script and the line.
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The steps of a script text; `name` begins every error's message.
Script ParseScript(const std::string& text, const std::string& name);
// The steps of the file `name` of tests/scripts.
Script LoadScript(const std::string& name);

// The builders of a player's steps; each adds one step to the player's script.
template <typename Player>
class ScriptBuilder {
public:
    // The next bytes the code under test writes must be exactly `request`.
    Player& Expect(Bytes request) { return Add({Step::Kind::Expect, std::move(request), {}}); }
    // What the code under test writes is skipped up to and including `request`.
    Player& Seek(Bytes request) { return Add({Step::Kind::Seek, std::move(request), {}}); }
    Player& Reply(Bytes reply, Microseconds after = {}) {
        return Add({Step::Kind::Reply, std::move(reply), after});
    }
    // From then on the port reads as unplugged.
    Player& Hangup(Microseconds after = {}) { return Add({Step::Kind::Hangup, {}, after}); }
    // Reads nothing of what the code under test writes for `duration`, as a device that has
    // stopped reading; its writes fill the line and then wait.
    Player& Stall(Microseconds duration) { return Add({Step::Kind::Stall, {}, duration}); }
    // From then on `pattern` comes over and over, faster than the host reads.
    Player& Flood(Bytes pattern) { return Add({Step::Kind::Flood, std::move(pattern), {}}); }
    Player& Play(const Script& script) {
        for (const Step& step : script) {
            Add(step);
        }
        return static_cast<Player&>(*this);
    }

protected:
    ScriptBuilder() = default;
    ~ScriptBuilder() = default;

private:
    Player& Add(Step step) {
        Player& player = static_cast<Player&>(*this);
        player.AddStep(std::move(step));
        return player;
    }
};

// Little-endian binary32 images of the values, in order.
Bytes FloatBytes(std::initializer_list<float> values);
Bytes Concat(std::initializer_list<Bytes> parts);
// Upper-case hex digits, a space between bytes: how mismatches are reported.
std::string Hex(const Bytes& bytes);

}  // namespace Ornix::Testing
