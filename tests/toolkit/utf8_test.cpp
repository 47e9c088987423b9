#include "toolkit/utf8.h"

#include <gtest/gtest.h>

namespace qe {
namespace {

TEST(Utf8, RoundTripsRomanianAndAstralText) {
    const std::string utf8 = "Vânzări șțăîâ ”x” \xF0\x9F\x94\x90";
    const auto wide = Utf8ToWide(utf8);
    ASSERT_TRUE(wide.has_value());
    EXPECT_EQ(wide->size(), 19u);
    EXPECT_EQ((*wide)[1], L'\u00E2');
    EXPECT_EQ(wide->back(), static_cast<wchar_t>(0x1F510));
    EXPECT_EQ(WideToUtf8(*wide), utf8);
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3))->size(), 3u);  // NUL is a character like others
}

TEST(Utf8, RefusesMalformedInput) {
    for (const std::string& bad : {
             std::string("\xC3"),              // truncated
             std::string("\xC3\x28"),          // bad continuation
             std::string("\xC0\xAF"),          // overlong "/"
             std::string("\xE0\x80\xAF"),      // overlong
             std::string("\xED\xA0\x80"),      // encoded surrogate
             std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
             std::string("\xFF"),              // never valid
             std::string("\x80"),              // stray continuation
         }) {
        EXPECT_FALSE(Utf8ToWide(bad).has_value());
        EXPECT_FALSE(IsValidUtf8(bad));
    }
    EXPECT_FALSE(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0xD800))).has_value());
    EXPECT_FALSE(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))).has_value());
    EXPECT_EQ(WideToUtf8ForLog(std::wstring{L'a', static_cast<wchar_t>(0xD800)}), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace qe
