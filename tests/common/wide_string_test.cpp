#include "common/wide_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WideString, StartsWithNoCaseGivesTheRest) {
    struct Case {
        const char16_t* text;
        const char16_t* prefix;
        const char16_t* rest;  // nullptr: no match
    };
    const Case cases[] = {
        {u"-FILE:fw.bin", u"-file:", u"fw.bin"},
        {u"-fil", u"-file:", nullptr},
        {u"COM", u"COM", u""},
        {u"com7", u"COM", u"7"},
        {u"anything", u"", u"anything"},
        {u"", u"a", nullptr},
        {u"-forced", u"-force", u"d"},
        // Letters outside A-Z never fold: U+00C4 and U+00E4 differ.
        {u"\u00C4bc", u"\u00E4", nullptr},
        {u"\u00C4bc", u"\u00C4B", u"c"},
        // '@' (0x40) and '[' (0x5B) sit just outside A-Z and must not fold.
        {u"@", u"`", nullptr},
        {u"[", u"{", nullptr},
    };
    for (const Case& c : cases) {
        const char16_t* rest = StartsWithNoCase(c.text, c.prefix);
        if (c.rest == nullptr) {
            EXPECT_EQ(rest, nullptr);
        } else {
            ASSERT_NE(rest, nullptr);
            EXPECT_EQ(std::u16string(rest), std::u16string(c.rest));
        }
    }
}

TEST(WideString, EqualsNoCaseNeedsTheSameLength) {
    EXPECT_TRUE(EqualsNoCase(u"pak", u"PaK"));
    EXPECT_TRUE(EqualsNoCase(u"", u""));
    EXPECT_FALSE(EqualsNoCase(u"paks", u"pak"));
    EXPECT_FALSE(EqualsNoCase(u"pa", u"pak"));
    EXPECT_FALSE(EqualsNoCase(u"\u00E9", u"\u00C9"));
    // Every unit but the terminator is compared, control units included.
    EXPECT_TRUE(EqualsNoCase(u"a\x01", u"a\x01"));
}

TEST(WideString, LowerAsciiFoldsOnlyAToZ) {
    char16_t text[] = u"\\\\?\\USB#VID_7A10&PID_0001#\u00C4@[Z";
    LowerAscii(text);
    EXPECT_EQ(std::u16string(text), u"\\\\?\\usb#vid_7a10&pid_0001#\u00C4@[z");
}

TEST(WideString, Utf8RoundTripKeepsEveryByte) {
    const std::string samples[] = {
        "fw.bin",
        "\xC3\xA9t\xC3\xA9.bin",  // valid two-byte sequences
        "\xF0\x9F\x98\x80",       // outside the BMP: a surrogate pair
        "bad\xFF\xFEname",        // bytes that start no sequence
        "\xC3",                   // cut-off sequence
        "\xE0\x80\x80",           // overlong
        "\xED\xA0\x80",           // encoded surrogate
    };
    for (const std::string& sample : samples) {
        EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(sample)), sample);
    }
    EXPECT_EQ(Utf8ToUtf16("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    EXPECT_EQ(Utf8ToUtf16("a\xFF"), std::u16string(u"a\xDCFF"));
}

}  // namespace
