#include "image/iso_lib.h"

#include <gtest/gtest.h>

namespace lorvane::image {
namespace {

TEST(MakeShortName, CutsToThirteenCharactersAndReplacesOutsideTheRange) {
    constexpr struct {
        const char* name;
        const char* expected;
    } kCases[] = {
        {"my data", "MY_DATA"},
        {"abcdefghijklmnopqrst", "ABCDEFGHIJKLM"},
        {"Docs", "DOCS"},
        {"a{b}|~", "A_B___"},                 // 123..126 are outside
        {"z!#$%&'()*+,-./", "Z!#$%&'()*+,-"}, // 33..122 stay, thirteen kept
        {"tab\tx", "TAB_X"},
        {"caf\xC3\xA9", "CAF_"},            // one accented character, one "_"
        {"\xE6\x97\xA5\xE6\x9C\xAC", "__"}, // two CJK characters
        {"\xF0\x9F\x98\x80!", "_!"},        // an emoji is one character
        {"", ""},
    };
    for (const auto& [name, expected] : kCases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(MakeShortName(name), expected);
    }
}

TEST(JolietSafeName, ReplacesWhatJolietForbidsAndKeepsTheRest) {
    constexpr struct {
        const char* name;
        const char* expected;
    } kCases[] = {
        {"plain name.txt", "plain name.txt"},
        {"a;b", "a_b"},
        {"back\\slash", "back_slash"},
        {"star*what?", "star_what_"},
        {"c:o/l", "c_o_l"},
        {"bell\x07", "bell_"},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"bad\xFFutf", "bad_utf"},
        {"cut\xE6\x97", "cut__"}, // a truncated sequence: each stray byte becomes "_"
    };
    for (const auto& [name, expected] : kCases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(JolietSafeName(name), expected);
    }
}

TEST(Utf16, CountsCodeUnitsAndEncodesSurrogatePairs) {
    constexpr struct {
        const char* text;
        std::size_t units;
    } kCases[] = {
        {"abc", 3}, {"caf\xC3\xA9", 4}, {"\xE6\x97\xA5\xE6\x9C\xAC", 2}, {"\xF0\x9F\x98\x80", 2}, {"", 0}};
    for (const auto& [text, units] : kCases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(Utf16Length(text), units);
        EXPECT_EQ(Utf8ToUtf16(text).size(), units);
    }
    EXPECT_EQ(Utf8ToUtf16("A\xF0\x9F\x98\x80\xC3\xA9"), (std::u16string{0x0041, 0xD83D, 0xDE00, 0x00E9}));
    EXPECT_EQ(Utf8ToUtf16("\xC0\x80"), (std::u16string{0xFFFD, 0xFFFD})); // overlong NUL is refused
}

} // namespace
} // namespace lorvane::image
