// The script files' reader: a line gives the step its builder gives, and a line that breaks the
// format is refused, naming the script and the line, with the texts the Python reader uses.
#include "Script.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "MemoryLink.h"

namespace Ornix::Testing {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(ScriptFile, EachLineGivesItsStep) {
    const Script parsed = ParseScript(
        "# Every kind of step.\n"
        "{\"expect\": \"0a\"}\n"
        "{\"seek\": \"2A 00\"}\n"
        "\n"
        "  {\"after_ms\": 5, \"reply\": \"0b ff\"}\r\n"
        "{\"reply\": \"0c\", \"after_ms\": 0}\n"
        "{\"reply\": \"0\\u0064\", \"after_ms\": 0.25}\n"
        "{\"stall_ms\": 2e3}\n"
        "{\"hangup\": true, \"after_ms\": 50}\n"
        "\t# A hang-up at once.\n"
        "{ \"hangup\" : true }\n"
        "{\"flood\": \"99\"}",
        "every-step.jsonl");
    const Script expected = {
        {Step::Kind::Expect, {0x0A}, {}},
        {Step::Kind::Seek, {0x2A, 0x00}, {}},
        {Step::Kind::Reply, {0x0B, 0xFF}, milliseconds(5)},
        {Step::Kind::Reply, {0x0C}, {}},
        {Step::Kind::Reply, {0x0D}, microseconds(250)},
        {Step::Kind::Stall, {}, milliseconds(2000)},
        {Step::Kind::Hangup, {}, milliseconds(50)},
        {Step::Kind::Hangup, {}, {}},
        {Step::Kind::Flood, {0x99}, {}},
    };
    EXPECT_EQ(parsed, expected);
    MemoryLink link;
    link.Play(parsed);
    EXPECT_FALSE(link.Played());
    link.Write(Bytes{0x0A, 0x01, 0x2A, 0x00}.data(), 4);
    EXPECT_TRUE(link.Played());
}

// tests/scripts/refusals.txt: each line refused, then "=> " and the reason.
std::vector<std::pair<std::string, std::string>> Refusals() {
    std::ifstream file(std::string(ORNIX_TEST_SCRIPTS) + "/refusals.txt");
    std::vector<std::pair<std::string, std::string>> refusals;
    std::string line, reason;
    while (std::getline(file, line)) {
        if (line.rfind('#', 0) == 0) {
            continue;
        }
        std::getline(file, reason);
        refusals.emplace_back(line, reason.substr(3));
    }
    return refusals;
}

TEST(ScriptFile, LinesThatBreakTheFormatAreRefusedWithTheirPlace) {
    const auto refusals = Refusals();
    ASSERT_GT(refusals.size(), 20u);
    for (const auto& [line, reason] : refusals) {
        try {
            ParseScript("# a first line\n" + line + "\n{\"expect\": \"0a\"}\n", "bad.jsonl");
            ADD_FAILURE() << line << " was read";
        } catch (const ScriptError& error) {
            EXPECT_EQ(error.what(), "bad.jsonl:2: " + reason) << line;
        }
    }
}

TEST(ScriptFile, AFileOfTheScriptsFolderIsLoadedByName) {
    EXPECT_EQ(LoadScript("arm-wakeup.jsonl").size(), 2u);
    try {
        LoadScript("no-such-script.jsonl");
        ADD_FAILURE() << "a missing script was loaded";
    } catch (const ScriptError& error) {
        EXPECT_STREQ(error.what(), "no-such-script.jsonl: cannot be read");
    }
}

}  // namespace
}  // namespace Ornix::Testing
