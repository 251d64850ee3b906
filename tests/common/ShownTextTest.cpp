#include "ShownText.hpp"

#include <gtest/gtest.h>
#include <string>

namespace {

const std::string r = "\xEF\xBF\xBD"; // U+FFFD

TEST(ShownText, ReplacesEveryControlDirectionMarkAndInvalidByteAndShortensOnlyARealHome) {
    EXPECT_EQ(shownText("New: ~/a.plist"), "New: ~/a.plist");
    EXPECT_EQ(shownText("\u00C4 \u2713 \U0001F600 \u00A0\u200D\u2215"),
              "\u00C4 \u2713 \U0001F600 \u00A0\u200D\u2215");
    // C0 (with NUL), DEL, C1, the separators and every bidirectional control.
    EXPECT_EQ(shownText(std::string("a\0b\n\r\t\x1b\x7f", 8)), "a" + r + "b" + r + r + r + r + r);
    EXPECT_EQ(shownText("\xC2\x80\xC2\x9F\xC2\xA0"), r + r + "\xC2\xA0");
    EXPECT_EQ(shownText("\u2028\u2029\u200E\u200F\u202A\u202B\u202C\u202D\u202E\u2066\u2067\u2068\u2069"),
              r + r + r + r + r + r + r + r + r + r + r + r + r);
    EXPECT_EQ(shownText("\u2027\u202F\u2065\u206A\u200D"), "\u2027\u202F\u2065\u206A\u200D");
    // A lone high byte, a truncated sequence, an overlong form, a surrogate, beyond U+10FFFF.
    EXPECT_EQ(shownText("x\xffy"), "x" + r + "y");
    EXPECT_EQ(shownText("\xE2\x9C"), r);
    EXPECT_EQ(shownText("\xC0\xAF"), r + r);
    EXPECT_EQ(shownText("\xED\xA0\x80"), r + r + r);
    EXPECT_EQ(shownText("\xF4\x90\x80\x80"), r + r + r + r);

    const std::string path = "/home/u/Library/LaunchAgents/x.plist";
    EXPECT_EQ(shownPath(path, "/home/u"), "~/Library/LaunchAgents/x.plist");
    EXPECT_EQ(shownPath(path, "/home/u//"), "~/Library/LaunchAgents/x.plist");
    EXPECT_EQ(shownPath("/Library/LaunchAgents/x.plist", "/"), "/Library/LaunchAgents/x.plist");
    EXPECT_EQ(shownPath("/Library/LaunchAgents/x.plist", "//"), "/Library/LaunchAgents/x.plist");
    EXPECT_EQ(shownPath(path, ""), path);
    EXPECT_EQ(withoutTrailingSeparators("/home/u///"), "/home/u");
    EXPECT_EQ(withoutTrailingSeparators("///"), "/");
}

} // namespace
