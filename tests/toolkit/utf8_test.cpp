#include "toolkit/utf8.h"

#include <gtest/gtest.h>

#include "toolkit/bytes.h"

namespace qe {
namespace {

// Each sequence length at both ends of its range, the surrogate gap and the last code point.
TEST(Utf8, EveryLengthAtItsLimitsRoundTrips) {
    const std::pair<std::string, char32_t> cases[] = {
        {std::string(1, '\0'), 0},
        {"\x7F", 0x7F},
        {"\xC2\x80", 0x80},
        {"\xDF\xBF", 0x7FF},
        {"\xE0\xA0\x80", 0x800},
        {"\xED\x9F\xBF", 0xD7FF},
        {"\xEE\x80\x80", 0xE000},
        {"\xEF\xBF\xBF", 0xFFFF},
        {"\xF0\x90\x80\x80", 0x10000},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF},
        {"\xC8\x99", 0x219} /* ș */,
    };
    for (const auto& [utf8, point] : cases) {
        SCOPED_TRACE(ToHexLower(ToBytes(utf8)));
        const std::wstring wide(1, static_cast<wchar_t>(point));
        EXPECT_EQ(Utf8ToWide(utf8 + "a" + utf8), wide + L"a" + wide);
        EXPECT_EQ(WideToUtf8(wide + L"a" + wide), utf8 + "a" + utf8);
        EXPECT_EQ(WideToUtf8ForLog(wide), utf8);
        EXPECT_TRUE(IsValidUtf8(utf8));
    }
}

TEST(Utf8, MalformedInputGivesNoResult) {
    for (const std::string& bad : {
             std::string("\xC3"),              // cut off at the end
             std::string("a\xE2\x82"),         // cut off at the end
             std::string("\xC3\x28"),          // bad continuation
             std::string("\xF0\x9F\x94\x28"),  // bad last continuation
             std::string("\xC1\xBF"),          // overlong 0x7F
             std::string("\xE0\x9F\xBF"),      // overlong 0x7FF
             std::string("\xF0\x8F\xBF\xBF"),  // overlong 0xFFFF
             std::string("\xED\xA0\x80"),      // encoded surrogate 0xD800
             std::string("\xED\xBF\xBF"),      // encoded surrogate 0xDFFF
             std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
             std::string("\xF8\x88\x80\x80\x80"),
             std::string("\x80"),  // stray continuation
         }) {
        SCOPED_TRACE(ToHexLower(ToBytes(bad)));
        EXPECT_FALSE(Utf8ToWide(bad).has_value());
        EXPECT_FALSE(IsValidUtf8(bad));
    }
    for (const char32_t point : {0xD800u, 0xDFFFu, 0x110000u}) {
        const std::wstring wide{L'a', static_cast<wchar_t>(point)};
        EXPECT_FALSE(WideToUtf8(wide).has_value());
        EXPECT_EQ(WideToUtf8ForLog(wide), "a\xEF\xBF\xBD");  // U+FFFD keeps the log line
    }
}

TEST(Bytes, HexOfEveryNibble) {
    const Bytes bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(ToHexLower(bytes), "0123456789abcdef");
    EXPECT_EQ(ToHexUpper(bytes), "0123456789ABCDEF");
    EXPECT_EQ(ToHexLower(Bytes{}), "");
    EXPECT_EQ(TextUpToBlank("ab cd", 5), "ab");
    EXPECT_EQ(TextUpToBlank("abcdef", 4), "abcd");
    EXPECT_EQ(TextUpToBlank(" abc", 4), "");
}

}  // namespace
}  // namespace qe
