#include "JsonText.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string FloatText(float value) {
    if (std::isnan(value)) {
        return "\"nan\"";
    }
    if (std::isinf(value)) {
        return value > 0 ? "\"inf\"" : "\"-inf\"";
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    JsonValue Document() {
        JsonValue value = Value(0);
        SkipSpace();
        if (at_ != text_.size()) {
            Fail("text after the value");
        }
        return value;
    }

private:
    // The document's own value lies at level 0, its members at 1; readers of recordings refuse
    // a value more than 32 levels inside (RECORDING.md), which also spares the stack.
    static constexpr int kDeepest = 32;

    [[noreturn]] void Fail(const std::string& why) const {
        throw JsonError("column " + std::to_string(at_ + 1) + ": " + why);
    }

    void SkipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\r' || text_[at_] == '\n')) {
            ++at_;
        }
    }

    bool Literal(const char* word) {
        const std::string expected(word);
        if (text_.compare(at_, expected.size(), expected) != 0) {
            return false;
        }
        at_ += expected.size();
        return true;
    }

    JsonValue Value(int depth) {
        if (depth > kDeepest) {
            Fail("nested too deeply");
        }
        SkipSpace();
        if (at_ == text_.size()) {
            Fail("a value is missing");
        }
        JsonValue value;
        const char c = text_[at_];
        if (c == '{') {
            value.type = JsonValue::Type::Object;
            ++at_;
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return value;
            }
            while (true) {
                SkipSpace();
                if (at_ == text_.size() || text_[at_] != '"') {
                    Fail("a member name is missing");
                }
                std::string name = String();
                SkipSpace();
                if (at_ == text_.size() || text_[at_] != ':') {
                    Fail("':' is missing");
                }
                ++at_;
                value.members[name] = Value(depth + 1);
                SkipSpace();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < text_.size() && text_[at_] == '}') {
                    ++at_;
                    return value;
                }
                Fail("',' or '}' is missing");
            }
        }
        if (c == '[') {
            value.type = JsonValue::Type::Array;
            ++at_;
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == ']') {
                ++at_;
                return value;
            }
            while (true) {
                value.items.push_back(Value(depth + 1));
                SkipSpace();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < text_.size() && text_[at_] == ']') {
                    ++at_;
                    return value;
                }
                Fail("',' or ']' is missing");
            }
        }
        if (c == '"') {
            value.type = JsonValue::Type::String;
            value.text = String();
            return value;
        }
        if (Literal("true")) {
            value.type = JsonValue::Type::Boolean;
            value.boolean = true;
            return value;
        }
        if (Literal("false")) {
            value.type = JsonValue::Type::Boolean;
            return value;
        }
        if (Literal("null")) {
            return value;
        }
        value.type = JsonValue::Type::Number;
        value.number = Number();
        return value;
    }

    bool Digit() const {
        return at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]));
    }

    void Digits() {
        while (Digit()) {
            ++at_;
        }
    }

    // JSON's grammar exactly: no leading zeros, no bare or trailing point, no plus sign, so
    // that every number other readers accept is accepted and no other.
    double Number() {
        const std::size_t start = at_;
        if (at_ < text_.size() && text_[at_] == '-') {
            ++at_;
        }
        if (!Digit()) {
            at_ = start;
            Fail("not a value");
        }
        if (text_[at_] == '0') {
            ++at_;
        } else {
            Digits();
        }
        if (at_ < text_.size() && text_[at_] == '.') {
            ++at_;
            if (!Digit()) {
                Fail("a digit must follow the decimal point");
            }
            Digits();
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) {
                ++at_;
            }
            if (!Digit()) {
                Fail("a digit must follow the exponent");
            }
            Digits();
        }
        // strtod reads what the grammar took and no more: the next character ends a number.
        return std::strtod(text_.substr(start, at_ - start).c_str(), nullptr);
    }

    unsigned Hex4() {
        if (at_ + 4 > text_.size()) {
            Fail("a \\u escape is cut short");
        }
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const char* digit =
                std::strchr(kHexDigits, std::tolower(static_cast<unsigned char>(c)));
            if (c == '\0' || digit == nullptr) {
                Fail("a \\u escape needs four hex digits");
            }
            code = code * 16 + static_cast<unsigned>(digit - kHexDigits);
        }
        return code;
    }

    void AppendUtf8(unsigned code, std::string& out) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string String() {
        ++at_;
        std::string out;
        while (true) {
            if (at_ == text_.size()) {
                Fail("a string is not closed");
            }
            const char c = text_[at_++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                Fail("a control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ == text_.size()) {
                Fail("a string is not closed");
            }
            const char escaped = text_[at_++];
            switch (escaped) {
                case '"':
                case '\\':
                case '/':
                    out += escaped;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned code = Hex4();
                    if (code >= 0xD800 && code < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
                        const std::size_t second = at_;
                        at_ += 2;
                        const unsigned low = Hex4();
                        if (low >= 0xDC00 && low < 0xE000) {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                        } else {
                            // Not a pair: each half stands alone, as JSON allows.
                            at_ = second;
                        }
                    }
                    AppendUtf8(code, out);
                    break;
                }
                default:
                    Fail("an unknown escape in a string");
            }
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace

void JsonObject::Name(const char* name) {
    if (!Empty()) {
        text_ += ", ";
    }
    text_ += JsonString(name);
    text_ += ": ";
}

JsonObject& JsonObject::Integer(const char* name, long long value) {
    Name(name);
    text_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Float(const char* name, float value) {
    Name(name);
    text_ += FloatText(value);
    return *this;
}

JsonObject& JsonObject::Floats(const char* name, const float* values, std::size_t count) {
    Name(name);
    text_ += '[';
    for (std::size_t i = 0; i < count; ++i) {
        text_ += i == 0 ? "" : ", ";
        text_ += FloatText(values[i]);
    }
    text_ += ']';
    return *this;
}

JsonObject& JsonObject::Seconds(const char* name, double seconds) {
    Name(name);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.6f", seconds);
    text_ += buffer;
    return *this;
}

JsonObject& JsonObject::Text(const char* name, const std::string& value) {
    Name(name);
    text_ += JsonString(value);
    return *this;
}

JsonObject& JsonObject::Hex(const char* name, const std::uint8_t* bytes, std::size_t count) {
    Name(name);
    text_ += '"';
    text_ += HexDigits(bytes, count);
    text_ += '"';
    return *this;
}

JsonObject& JsonObject::Null(const char* name) {
    Name(name);
    text_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(const char* name, const std::string& json) {
    Name(name);
    text_ += json;
    return *this;
}

std::string JsonString(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string HexDigits(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    out.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        out += kHexDigits[bytes[i] >> 4];
        out += kHexDigits[bytes[i] & 0x0F];
    }
    return out;
}

JsonValue JsonValue::Parse(const std::string& text) { return Parser(text).Document(); }

const JsonValue* JsonValue::Find(const std::string& name) const {
    const auto found = members.find(name);
    return found == members.end() ? nullptr : &found->second;
}

bool ParseHex(const std::string& digits, std::vector<std::uint8_t>& bytes) {
    if (digits.size() % 2 != 0) {
        return false;
    }
    bytes.clear();
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        unsigned byte = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char* digit =
                std::strchr(kHexDigits, std::tolower(static_cast<unsigned char>(digits[j])));
            if (digits[j] == '\0' || digit == nullptr) {
                return false;
            }
            byte = byte * 16 + static_cast<unsigned>(digit - kHexDigits);
        }
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return true;
}
