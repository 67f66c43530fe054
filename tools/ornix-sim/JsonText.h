#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// Builds the text of one JSON object member by member, in the order given; the recording is
// written with it. Floats are written in their shortest exact form, and as the strings "nan",
// "inf" and "-inf" when they are not finite, which JSON numbers cannot carry.
class JsonObject {
public:
    JsonObject& Integer(const char* name, long long value);
    JsonObject& Float(const char* name, float value);
    JsonObject& Floats(const char* name, const float* values, std::size_t count);
    // Seconds with microsecond precision.
    JsonObject& Seconds(const char* name, double seconds);
    JsonObject& Text(const char* name, const std::string& value);
    JsonObject& Hex(const char* name, const std::uint8_t* bytes, std::size_t count);
    JsonObject& Null(const char* name);
    // `json` must be the text of a JSON value.
    JsonObject& Raw(const char* name, const std::string& json);

    std::string Finish() const { return text_ + "}"; }
    bool Empty() const { return text_.size() == 1; }

private:
    void Name(const char* name);

    std::string text_ = "{";
};

std::string JsonString(const std::string& value);
std::string HexDigits(const std::uint8_t* bytes, std::size_t count);

// A JSON text that cannot be read; its text says where and why.
class JsonError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One parsed JSON value: enough of JSON to read recordings back, strictly.
struct JsonValue {
    enum class Type { Null, Boolean, Number, String, Array, Object };

    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    // Parses a whole text holding one value.
    static JsonValue Parse(const std::string& text);
    // The member of an object, or nullptr.
    const JsonValue* Find(const std::string& name) const;
};

// Reads hex digits, two per byte; nothing when they are not.
bool ParseHex(const std::string& digits, std::vector<std::uint8_t>& bytes);
