#include "Utf8.hpp"

#include "ShownText.hpp"
#include "Utf8Writer.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string r = "\xEF\xBF\xBD"; // U+FFFD

// Each maximal invalid subsequence is one U+FFFD, in the decoded text and in the shown text alike: a
// sequence cut short, however far it got, is one character gone, not one per byte.
TEST(Utf8, EachMaximalInvalidSubsequenceIsOneReplacementWhereverTextIsDecodedOrShown) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"a\xE2\x9C"
         "b",
         "a" + r + "b"},     // three-byte sequence cut after two
        {"\xF0\x9F\x98", r}, // four-byte sequence cut after three
        {"\xF0\x9F\x98\xF0\x9F\x98\x80", r + "\U0001F600"},
        {"\xE0\x80\x80", r + r + r}, // overlong: the lead byte alone is the invalid part
        {"\xF4\x90", r + r},         // beyond U+10FFFF
        {"\x80\x80", r + r},         // stray continuation bytes
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decodeUtf8Lossy(c.in), c.out) << c.in;
        EXPECT_EQ(shownText(c.in), c.out) << c.in;
        EXPECT_FALSE(isValidUtf8(c.in)) << c.in;
    }
}

// What the writer writes, the decoder reads back as the same character, at each length's edges.
TEST(Utf8, WrittenCharactersDecodeToThemselves) {
    for (const std::uint32_t codePoint : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFDu, 0x10000u, 0x10FFFFu}) {
        std::string text;
        appendUtf8(codePoint, text);
        const Utf8Character character = firstUtf8Character(text);
        EXPECT_EQ(character.codePoint, char32_t{codePoint}) << codePoint;
        EXPECT_EQ(character.length, text.size()) << codePoint;
    }
}

} // namespace
