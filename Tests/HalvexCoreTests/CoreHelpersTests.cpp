#include "HalvexCore/FileManagerHelpers.h"
#include "HalvexCore/FloatRounding.h"
#include "HalvexCore/ProcessInfo.h"
#include "HalvexCore/StringHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(CoreStringHelpers, TrimsARepeatedCharacterFromTheEnd) {
    struct Case {
        std::string text;
        std::string character;
        int upto;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc    ", " ", 2, "abc  "},
        {"abc", " ", 2, "abc"},
        {"aaa", "a", 5, ""},
        {"abc  ", " ", 0, "abc  "},
        {"abc  ", " ", -3, "abc  "},
        {"x\u2581\u2581", "\u2581", 1, "x\u2581"},
        // A character with a combining mark is not the bare letter.
        {"cafe\u0301", "e", 1, "cafe\u0301"},
        {"", " ", 3, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(halvex::trimmingFromEnd(c.text, c.character, c.upto), c.expected) << c.text;
    }
}

TEST(CoreStringHelpers, TrimsWhitespaceAndNewlines) {
    EXPECT_EQ(halvex::trimmingWhitespaceAndNewlines(" \t\nword  word\u00A0\r\n"), "word  word");
    EXPECT_EQ(halvex::trimmingWhitespaceAndNewlines("\u2028 \u3000"), "");
    EXPECT_EQ(halvex::trimmingWhitespaceAndNewlines("x"), "x");
}

// One token per word of the trimmed text.
std::vector<int> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<int> tokens;
    std::string word;
    while (stream >> word) tokens.push_back(static_cast<int>(tokens.size()));
    return tokens;
}

TEST(CoreStringHelpers, FindsTheLastNaturalBoundary) {
    struct Case {
        std::string text;
        std::size_t minTokens;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        // An unfinished last sentence is skipped; the previous one ends the prefix, with its space.
        {"Hello there. How are you", 2, "Hello there. "},
        // The longest qualifying sentence prefix wins.
        {"A b. C d. E f", 1, "A b. C d. "},
        // Too short at every sentence end: the last space decides.
        {"A b. C d. E f", 5, "A b. C d. E"},
        // A finished last sentence counts, closers and all.
        {"First one. Second one!", 1, "First one. Second one!"},
        {"He said \"stop.\" ", 1, "He said \"stop.\" "},
        {"\u4F60\u597D\u3002\u518D\u89C1", 1, "\u4F60\u597D\u3002"},
        // A line break after the last sentence finishes it.
        {"no punctuation here\n", 1, "no punctuation here\n"},
        // Clause marks count only before white space or at the end.
        {"one, two three", 1, "one,"},
        {"first part; second part -", 3, "first part; second part -"},
        {"well-known fact", 1, "well-known"},
        {"alpha beta gamma", 2, "alpha beta"},
        {"alpha beta gamma", 3, std::nullopt},
        {"single", 1, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(halvex::lastNaturalBoundary(c.text, c.minTokens, words), c.expected)
            << c.text << " / " << c.minTokens;
    }
}

TEST(CoreFloatRounding, RoundsHalvesAwayFromZeroInFloat) {
    struct Case {
        float value;
        int places;
        float expected;
    };
    const std::vector<Case> cases = {
        {1.25f, 1, 1.3f},      {-1.25f, 1, -1.3f}, {0.5f, 0, 1.0f},      {-0.5f, 0, -1.0f},
        {1.23456f, 3, 1.235f}, {2.0f, 2, 2.0f},    {12.345f, -1, 10.0f}, {0.0f, 2, 0.0f},
    };
    for (const auto& c : cases) EXPECT_EQ(halvex::rounded(c.value, c.places), c.expected) << c.value << " " << c.places;
}

TEST(CoreFileManagerHelpers, ResolvesAbsolutePaths) {
    const char* home = std::getenv("HOME");
    ASSERT_NE(home, nullptr);
    const std::string cwd = std::filesystem::current_path().string();
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/tmp/x", "/tmp/x"},
        {"~/x", std::string(home) + "/x"},
        {"~", home},
        {"models/tiny", cwd + "/models/tiny"},
        {"~no-such-user-here/x", cwd + "/~no-such-user-here/x"},
    };
    for (const auto& c : cases) EXPECT_EQ(halvex::resolveAbsolutePath(c.input), c.expected) << c.input;
}

TEST(CoreProcessInfo, ParsesKernelDescriptions) {
    const std::string cpuinfo =
        "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel name\t: Intel(R) Core(TM) i7\n"
        "cpu cores\t: 4\n\nprocessor\t: 1\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i7\n";
    struct Case {
        std::string key;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"model name", "Intel(R) Core(TM) i7"},
        {"vendor_id", "GenuineIntel"},
        {"cpu family", "6"},
        {"cpu cores", "4"},
        {"missing", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(halvex::ProcessInfo::cpuInfoValue(cpuinfo, c.key), c.expected) << c.key;
    EXPECT_EQ(halvex::ProcessInfo::cpuInfoProcessorCount(cpuinfo), 2);
    EXPECT_EQ(halvex::ProcessInfo::cpuInfoProcessorCount(""), 0);

    using namespace std::string_literals;
    EXPECT_EQ(halvex::ProcessInfo::kernelText("Raspberry Pi 4 Model B\0junk"s), "Raspberry Pi 4 Model B");
    EXPECT_EQ(halvex::ProcessInfo::kernelText("ThinkPad X1\n"), "ThinkPad X1");
    EXPECT_EQ(halvex::ProcessInfo::kernelText("bad \xFF byte"), "bad \uFFFD byte");
    EXPECT_EQ(halvex::ProcessInfo::stringFromSysctl("no.such.name"), "");
}

TEST(CoreProcessInfo, DescribesThisMachineOnce) {
    EXPECT_FALSE(halvex::ProcessInfo::hwModel().empty());
    EXPECT_FALSE(halvex::ProcessInfo::processor().empty());
    EXPECT_FALSE(halvex::ProcessInfo::threads().empty());
    EXPECT_EQ(&halvex::ProcessInfo::hwModel(), &halvex::ProcessInfo::hwModel());
    EXPECT_EQ(halvex::ProcessInfo::hwModel(), halvex::ProcessInfo::stringFromSysctl("hw.model"));
}

}  // namespace
