#include "Script.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace Ornix::Testing {

namespace {

// A member's value, as far as a step needs to tell values apart.
struct Value {
    enum class Type { Null, Boolean, Number, String, Composite };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
};

struct Member {
    std::string name;
    Value value;
};

// Not JSON, or JSON but no object: every such line is refused alike.
struct NotAnObject {};

// Why a line's object is no step.
struct Refusal {
    std::string why;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The UTF-8 bytes of a character of the Basic Multilingual Plane.
std::string Utf8(unsigned code) {
    std::string out;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    return out;
}

// Reads one JSON object, strictly, keeping its members in the order written.
class ObjectReader {
public:
    explicit ObjectReader(const std::string& text) : text(text) {}

    std::vector<Member> Read() {
        Space();
        if (!Take('{')) {
            throw NotAnObject{};
        }
        std::vector<Member> members;
        Space();
        if (!Take('}')) {
            do {
                Space();
                Member member;
                member.name = String();
                Space();
                Require(':');
                member.value = ReadValue(0);
                members.push_back(std::move(member));
                Space();
            } while (Take(','));
            Require('}');
        }
        Space();
        if (at != text.size()) {
            throw NotAnObject{};
        }
        return members;
    }

private:
    // Deeper than any script line goes, and a bound on the reader's recursion.
    static constexpr int kDeepest = 512;

    Value ReadValue(int depth) {
        Space();
        Value value;
        if (at >= text.size() || depth > kDeepest) {
            throw NotAnObject{};
        }
        const char c = text[at];
        if (c == '"') {
            value.type = Value::Type::String;
            value.text = String();
        } else if (c == '{' || c == '[') {
            value.type = Value::Type::Composite;
            Composite(depth);
        } else if (Word("true") || Word("false")) {
            value.type = Value::Type::Boolean;
            value.boolean = c == 't';
        } else if (Word("null")) {
            value.type = Value::Type::Null;
        } else {
            value.type = Value::Type::Number;
            value.number = Number();
        }
        return value;
    }

    void Composite(int depth) {
        const char close = text[at] == '{' ? '}' : ']';
        ++at;
        Space();
        if (Take(close)) {
            return;
        }
        do {
            if (close == '}') {
                Space();
                String();
                Space();
                Require(':');
            }
            ReadValue(depth + 1);
            Space();
        } while (Take(','));
        Require(close);
    }

    std::string String() {
        Require('"');
        std::string out;
        for (;;) {
            if (at >= text.size() || static_cast<unsigned char>(text[at]) < 0x20) {
                throw NotAnObject{};
            }
            const char c = text[at++];
            if (c == '"') {
                return out;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at >= text.size()) {
                throw NotAnObject{};
            }
            const char escaped = text[at++];
            static const std::string kPlain = "\"\\/bfnrt";
            static const std::string kMeant = "\"\\/\b\f\n\r\t";
            const size_t plain = kPlain.find(escaped);
            if (plain != std::string::npos) {
                out += kMeant[plain];
                continue;
            }
            const std::string digits = escaped == 'u' ? text.substr(at, 4) : std::string();
            if (digits.size() != 4 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                throw NotAnObject{};
            }
            out += Utf8(static_cast<unsigned>(std::stoul(digits, nullptr, 16)));
            at += 4;
        }
    }

    double Number() {
        // The JSON grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
        const size_t start = at;
        Take('-');
        if (!Take('0') && !Digits()) {
            throw NotAnObject{};
        }
        if (Take('.') && !Digits()) {
            throw NotAnObject{};
        }
        if (Take('e') || Take('E')) {
            if (!Take('+')) {
                Take('-');
            }
            if (!Digits()) {
                throw NotAnObject{};
            }
        }
        return std::strtod(text.substr(start, at - start).c_str(), nullptr);
    }

    bool Digits() {
        const size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at;
        }
        return at > start;
    }

    bool Word(const char* word) {
        const size_t length = std::strlen(word);
        if (text.compare(at, length, word) != 0) {
            return false;
        }
        at += length;
        return true;
    }

    void Space() {
        while (at < text.size() && IsSpace(text[at])) {
            ++at;
        }
    }

    bool Take(char c) {
        if (at < text.size() && text[at] == c) {
            ++at;
            return true;
        }
        return false;
    }

    void Require(char c) {
        if (!Take(c)) {
            throw NotAnObject{};
        }
    }

    const std::string& text;
    size_t at = 0;
};

struct StepName {
    const char* name;
    Step::Kind kind;
};

constexpr StepName kStepNames[] = {
    {"expect", Step::Kind::Expect}, {"seek", Step::Kind::Seek},      {"reply", Step::Kind::Reply},
    {"hangup", Step::Kind::Hangup}, {"stall_ms", Step::Kind::Stall}, {"flood", Step::Kind::Flood},
};
constexpr const char* kAfter = "after_ms";

const StepName* FindStep(const std::string& name) {
    for (const StepName& step : kStepNames) {
        if (name == step.name) {
            return &step;
        }
    }
    return nullptr;
}

// The bytes of hex digits, two a byte, spaces between them ignored; false when they are not.
bool HexBytes(const std::string& text, Bytes& bytes) {
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool ReadMilliseconds(const Value& value, bool zero_allowed, Microseconds& time) {
    if (value.type != Value::Type::Number || !std::isfinite(value.number) || value.number < 0 ||
        (!zero_allowed && value.number == 0)) {
        return false;
    }
    time = Microseconds(std::llround(value.number * 1000));
    return true;
}

// The step of one line's members.
Step ReadStep(const std::vector<Member>& members) {
    const Member* step = nullptr;
    const Member* after = nullptr;
    for (size_t i = 0; i < members.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (members[j].name == members[i].name) {
                throw Refusal{"member \"" + members[i].name + "\" twice"};
            }
        }
    }
    for (const Member& member : members) {
        if (member.name == kAfter) {
            after = &member;
        } else if (FindStep(member.name) == nullptr) {
            throw Refusal{"unknown member \"" + member.name + "\""};
        }
    }
    for (const Member& member : members) {
        if (FindStep(member.name) == nullptr) {
            continue;
        }
        if (step != nullptr) {
            throw Refusal{"more than one step: " + step->name + " and " + member.name};
        }
        step = &member;
    }
    if (step == nullptr) {
        throw Refusal{"no step: one of expect, seek, reply, hangup, stall_ms, flood is needed"};
    }
    Step result{FindStep(step->name)->kind, {}, {}};
    const Value& value = step->value;
    switch (result.kind) {
        case Step::Kind::Hangup:
            if (value.type != Value::Type::Boolean || !value.boolean) {
                throw Refusal{"hangup: not true"};
            }
            break;
        case Step::Kind::Stall:
            if (!ReadMilliseconds(value, false, result.time)) {
                throw Refusal{"stall_ms: not a number of milliseconds above 0"};
            }
            break;
        default:
            if (value.type != Value::Type::String || !HexBytes(value.text, result.bytes)) {
                throw Refusal{step->name + ": not hex bytes"};
            }
            if (result.bytes.empty()) {
                throw Refusal{step->name + ": no bytes"};
            }
    }
    if (after != nullptr) {
        if (result.kind != Step::Kind::Reply && result.kind != Step::Kind::Hangup) {
            throw Refusal{"after_ms: only a reply or a hang-up is played after a delay"};
        }
        if (!ReadMilliseconds(after->value, true, result.time)) {
            throw Refusal{"after_ms: not a number of milliseconds from 0"};
        }
    }
    return result;
}

}  // namespace

Script ParseScript(const std::string& text, const std::string& name) {
    Script script;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        try {
            script.push_back(ReadStep(ObjectReader(line).Read()));
        } catch (const NotAnObject&) {
            throw ScriptError(name + ":" + std::to_string(number) + ": not a JSON object");
        } catch (const Refusal& refusal) {
            throw ScriptError(name + ":" + std::to_string(number) + ": " + refusal.why);
        }
    }
    return script;
}

Script LoadScript(const std::string& name) {
    std::ifstream file(std::string(ORNIX_TEST_SCRIPTS) + "/" + name, std::ios::binary);
    if (!file) {
        throw ScriptError(name + ": cannot be read");
    }
    std::ostringstream text;
    text << file.rdbuf();
    return ParseScript(text.str(), name);
}

Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes bytes;
    for (float value : values) {
        uint32_t image;
        std::memcpy(&image, &value, sizeof image);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<uint8_t>(image >> shift));
        }
    }
    return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
}

std::string Hex(const Bytes& bytes) {
    std::string text;
    char digits[4];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
        text += digits;
    }
    return text;
}

}  // namespace Ornix::Testing
