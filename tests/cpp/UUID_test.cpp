#include "UUID.h"

#include <gtest/gtest.h>

#include <iomanip>
#include <sstream>

namespace Ornix::HardwareAPI {
namespace {

std::string Canonical(const UUID& identifier) {
    std::ostringstream text;
    identifier.Print(text);
    return text.str();
}

UUID Counting(uint8_t first) {
    UUID identifier;
    for (size_t i = 0; i < UUID::kSize; ++i) {
        identifier.data[i] = static_cast<uint8_t>(first + i);
    }
    return identifier;
}

TEST(UUID, DefaultIsAllZeros) {
    const UUID zero;
    EXPECT_EQ(Canonical(zero), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(zero.PlainHex(), std::string(32, '0'));
}

TEST(UUID, PrintsTheBytesInWireOrder) {
    EXPECT_EQ(Canonical(Counting(0x00)), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    EXPECT_EQ(Counting(0xA0).PlainHex(), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
}

TEST(UUID, StreamFormattingDoesNotChangeTheText) {
    UUID ones;
    ones.data.fill(0xFF);
    std::ostringstream text;
    text << std::uppercase << std::hex << std::showbase;
    ones.Print(text);
    EXPECT_EQ(text.str(), "ffffffff-ffff-ffff-ffff-ffffffffffff");

    std::ostringstream padded;
    padded << std::setw(3) << std::setfill('*');
    Counting(0x00).Print(padded) << 'x';
    EXPECT_EQ(padded.str(), "**00010203-0405-0607-0809-0a0b0c0d0e0fx");
}

TEST(UUID, PlainHexIsTheCanonicalFormWithoutDashes) {
    for (uint8_t first : {0x00, 0x37, 0xF0}) {
        const UUID identifier = Counting(first);
        std::string canonical = Canonical(identifier);
        canonical.erase(std::remove(canonical.begin(), canonical.end(), '-'), canonical.end());
        EXPECT_EQ(identifier.PlainHex(), canonical);
    }
}

TEST(UUID, SetBytesTakesAnOverlappingSourceAsItWas) {
    struct {
        uint8_t before[8];
        UUID identifier;
    } memory;
    for (uint8_t i = 0; i < 8; ++i) {
        memory.before[i] = static_cast<uint8_t>(0xB0 + i);
    }
    memory.identifier = Counting(0x00);
    memory.identifier.SetBytes(&memory.before[4]);
    EXPECT_EQ(Canonical(memory.identifier), "b4b5b6b7-0001-0203-0405-060708090a0b");
}

}  // namespace
}  // namespace Ornix::HardwareAPI
