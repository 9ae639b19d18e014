// Line splitting and the INI lookups, including the loose matching that parameter texts in the
// field depend on.
#include "container/ini.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace kfs {
namespace {

using namespace std::string_view_literals;

TEST(SplitLines, CutsOnlyAtCrLfPairs) {
    struct Case {
        std::string_view text;
        Lines expected;
    };
    const Case cases[] = {
        {""sv, {}},
        {"a"sv, {"a"}},
        {"a\r\nb"sv, {"a", "b"}},
        {"a\r\n"sv, {"a"}},
        {"a\r\n\r\n"sv, {"a", ""}},
        {"\r\n\r\nb"sv, {"", "", "b"}},
        {"a\nb\rc"sv, {"a\nb\rc"}},    // lone LF and CR stay in the line
        {"a\r\r\nb"sv, {"a\r", "b"}},  // the pair is found after a lone CR
        {"a\r"sv, {"a\r"}},            // a CR at the very end has no LF to pair with
        {"a\n\r\n"sv, {"a\n"}},
        {"ab\0cd\r\nef\0"sv, {"ab", "ef"}},  // each line ends at a zero byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SplitLines(c.text), c.expected) << testing::PrintToString(std::string(c.text));
    }
}

TEST(ParseIniInt, ConvertsLikeDecimalTextToInteger) {
    struct Case {
        std::string_view value;
        std::int32_t expected;
    };
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    const Case cases[] = {
        {"1", 1},
        {"0", 0},
        {"-1", -1},
        {"+7", 7},
        {" \t\r\n\v\f42", 42},
        {"-12abc", -12},
        {"300", 300},
        {"", 0},
        {"yes", 0},
        {"= 1", 0},
        {"- 5", 0},
        {"--5", 0},
        {"0x10", 0},
        {"2147483647", kMax},
        {"-2147483648", kMin},
        {"2147483648", kMax},
        {"-99999999999999999999", kMin},
        {"99999999999999999999", kMax},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseIniInt(c.value), c.expected) << "value \"" << c.value << "\"";
    }
}

// A small text that shows every quirk of the key lookup at once.
const Lines kText = {
    "Updater=7",        // before any header: never found
    "[Main] settings",  // accepted as the header of [Main]
    "Updater=1",
    "Updater=2",  // duplicate: the first one wins
    "silent=1",   // key "s" matches here
    "Verify = 1",
    "Key",
    "Key2x",
    "[Other]",
    "d=5",  // found for [Main] too: the search runs past the next header
    "[Main]",
    "Updater=9",  // second [Main] is never used as a header for [Main]
    "Name=  padded  ",
};

TEST(GetIniString, FindsTheFirstLineThatBeginsWithTheKey) {
    struct Case {
        std::string_view section;
        std::string_view key;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Main", "Updater", "1"},
        {"Main", "s", "lent=1"},
        {"Main", "Verify", "= 1"},
        {"Main", "Key", ""},   // line ends right after the key
        {"Main", "Key2", ""},  // ... or one character later
        {"Main", "d", "5"},
        {"Main", "Name", "  padded  "},
        {"Other", "Updater", "9"},
        {"Other", "s", "<default>"},
        {"Main", "updater", "<default>"},
        {"main", "Updater", "<default>"},
        {"Missing", "Updater", "<default>"},
        {"Main]", "Updater", "<default>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetIniString(kText, c.section, c.key, "<default>"), c.expected)
            << "[" << c.section << "] " << c.key;
    }
}

TEST(GetIniIntAndBool, ConvertTheValueOrReturnTheDefault) {
    EXPECT_EQ(GetIniInt(kText, "Main", "Updater", -1), 1);
    EXPECT_EQ(GetIniInt(kText, "Main", "Verify", -1), 0);
    EXPECT_EQ(GetIniInt(kText, "Main", "Key", -1), 0);  // empty value, not the default
    EXPECT_EQ(GetIniInt(kText, "Main", "Missing", -1), -1);
    EXPECT_EQ(GetIniInt(kText, "Missing", "Updater", 12345), 12345);

    EXPECT_TRUE(GetIniBool(kText, "Other", "Updater", false));  // 9 counts as set
    EXPECT_TRUE(GetIniBool(kText, "Main", "d", false));
    EXPECT_FALSE(GetIniBool(kText, "Main", "Verify", true));
    EXPECT_FALSE(GetIniBool(kText, "Main", "s", true));
    EXPECT_TRUE(GetIniBool(kText, "Main", "Missing", true));
    EXPECT_FALSE(GetIniBool(kText, "Missing", "Updater", false));
    EXPECT_TRUE(GetIniBool({"[S]", "k=-1"}, "S", "k", false));
}

TEST(GetIniSection, TakesTheLinesUpToTheNextBracketLine) {
    struct Case {
        Lines text;
        std::string_view section;
        Lines expected;
    };
    const Case cases[] = {
        {{"[A]", "x", "", "y", "[B]", "z"}, "A", {"x", "", "y"}},
        {{"[A]", "x", "[B]", "", "z", ""}, "B", {"", "z", ""}},  // last section: to the end
        {{"[A]", "x", "[not a header", "y"}, "A", {"x"}},        // any "[" line ends it
        {{"[A]", "x", " [B]", "y"}, "A", {"x", " [B]", "y"}},    // only in the first column
        {{"[A] extra", "x"}, "A", {"x"}},
        {{"[A]", "1", "[B]", "[A]", "2"}, "A", {"1"}},  // only the first header counts
        {{"[A]"}, "A", {}},
        {{"[A]", "x"}, "B", {}},
        {{}, "A", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetIniSection(c.text, c.section), c.expected)
            << testing::PrintToString(c.text) << " [" << c.section << "]";
    }
}

}  // namespace
}  // namespace kfs
