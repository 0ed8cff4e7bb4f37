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
    // Valid sequences at the edges of each length decode to their code points and back; anything
    // else is kept as escaped bytes (U+DC80 to U+DCFF), one unit per byte.
    const struct {
        std::string utf8;
        std::u16string utf16;
    } decoded[] = {
        {"\xC3\xA9", u"\u00E9"},
        {"\x7F", u"\x7F"},                                       // the last one-byte sequence
        {"\x80", {0xDC80}},                                      // a continuation byte alone
        {"\xC1\xBF", {0xDCC1, 0xDCBF}},                          // U+007F in two bytes
        {"\xC2\x80", u"\u0080"},                                 // the first of two bytes
        {"\xE0\xA0\x80", u"\u0800"},                             // the first of three bytes
        {"\xE2\x82\xAC", u"\u20AC"},                             // three bytes
        {"\xEF\xBF\xBF", u"\uFFFF"},                             // the last of the first plane
        {"\xF0\x9F\x98\x80", u"\U0001F600"},                     // four bytes: a surrogate pair
        {"\xF1\x80\x80\x80", u"\U00040000"},                     // a four-byte lead's low bit
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},                     // the last code point
        {"\xF4\x90\x80\x80", {0xDCF4, 0xDC90, 0xDC80, 0xDC80}},  // one past it
        {"a\xFF", {u'a', 0xDCFF}},
    };
    for (const auto& c : decoded) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
    }
}

// UTF-16 that came from Windows may hold surrogates without their partner. None may become
// invalid UTF-8 on its way out; only the units that stand for escaped bytes turn back into
// those bytes, and only where the text may hold them (ReplaceUnpairedSurrogates: none).
TEST(WideString, UnpairedSurrogatesBecomeTheReplacementCharacter) {
    struct Case {
        std::u16string text;
        std::string utf8;
        std::u16string printable;
    };
    const Case cases[] = {
        {{u'a', 0xD800, u'z'}, "a\xEF\xBF\xBDz", {u'a', 0xFFFD, u'z'}},  // high, no low
        {{0xDBFF}, "\xEF\xBF\xBD", {0xFFFD}},                            // high at the end
        {{0xDC00, u'x'}, "\xEF\xBF\xBDx", {0xFFFD, u'x'}},               // low below the bytes
        {{0xDC7F}, "\xEF\xBF\xBD", {0xFFFD}},
        {{0xDD00}, "\xEF\xBF\xBD", {0xFFFD}},  // low above the bytes
        {{0xDFFF}, "\xEF\xBF\xBD", {0xFFFD}},
        {{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD", {0xFFFD, 0xFFFD}},  // low before high
        {{0xDC80}, "\x80", {0xFFFD}},                                      // an escaped byte
        {{0xDCFF}, "\xFF", {0xFFFD}},
        {{0xD83D, 0xDE00}, "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},  // a pair stays
        {{0xD7FF, 0xE000}, "\xED\x9F\xBF\xEE\x80\x80", {0xD7FF, 0xE000}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf16ToUtf8(c.text), c.utf8) << c.utf8;
        EXPECT_EQ(ReplaceUnpairedSurrogates(c.text), c.printable) << c.utf8;
    }
}

}  // namespace
