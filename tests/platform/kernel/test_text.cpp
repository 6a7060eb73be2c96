// UTF-32 wchar_t <-> UTF-8 conversion inside platform/.
#include <string>

#include <gtest/gtest.h>

#include "text.h"

namespace {

TEST(Text, EveryScalarValueSurvivesTheRoundTrip) {
    std::wstring all;
    for (wchar_t c = 1; c <= 0x10FFFF; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            all += c;
        }
    }
    std::string utf8;
    ASSERT_TRUE(text_utf8_from_wide(all, utf8));
    std::wstring back;
    ASSERT_TRUE(text_wide_from_utf8(utf8, back));
    EXPECT_TRUE(back == all);
}

TEST(Text, EncodesEachLengthAsTheStandardSays) {
    std::string utf8;
    ASSERT_TRUE(text_utf8_from_wide(std::wstring(L"A\0\u00e9\u20ac\U00010348", 5), utf8));
    EXPECT_EQ(utf8, std::string("A\0\xc3\xa9\xe2\x82\xac\xf0\x90\x8d\x88", 11));
}

TEST(Text, RefusesWideTextWithoutUtf8Form) {
    for (wchar_t bad : {wchar_t(0xD800), wchar_t(0xDFFF), wchar_t(0x110000), wchar_t(-1)}) {
        std::string utf8 = "stale";
        EXPECT_FALSE(text_utf8_from_wide(std::wstring(L"ok") + bad, utf8)) << int(bad);
        EXPECT_TRUE(utf8.empty());
    }
}

TEST(Text, RefusesMalformedUtf8) {
    const char* const bad[] = {
        "\x80",             // continuation without a lead
        "a\xc3",            // truncated at the end
        "\xe2\x82",         // truncated three-byte sequence
        "\xe2\x28\xa1",     // lead followed by a non-continuation
        "\xc0\xaf",         // overlong '/'
        "\xe0\x80\xaf",     // overlong '/'
        "\xf0\x82\x82\xac", // overlong euro sign
        "\xed\xa0\x80",     // encoded surrogate
        "\xf4\x90\x80\x80", // beyond U+10FFFF
        "\xf8\x88\x80\x80\x80",
        "\xff",
    };
    for (const char* text : bad) {
        std::wstring wide = L"stale";
        EXPECT_FALSE(text_wide_from_utf8(text, wide)) << text;
        EXPECT_TRUE(wide.empty());
    }
}

} // namespace
