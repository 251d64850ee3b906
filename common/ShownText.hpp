#pragma once

#include <string>
#include <string_view>

// A text as both programs show it, in any line or notification: valid UTF-8 on one line that reads in
// order. Each maximal invalid subsequence of bytes, every C0 and C1 control, DEL, the line and
// paragraph separators (U+2028, U+2029) and the bidirectional controls (U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069) become U+FFFD, so that a file name cannot forge a line of its own or turn
// the text around.
std::string shownText(std::string_view text);

// A path as shown: every occurrence of the home folder (without its trailing separators) becomes "~". A
// home folder of "/" (or none) shortens nothing.
std::string shownPath(const std::string& path, std::string_view homeFolder);

// The folder without its trailing separators; "/" stays "/".
std::string withoutTrailingSeparators(std::string_view folder);
