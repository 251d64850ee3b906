#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace action_service {

// The text with every maximal invalid subsequence replaced by U+FFFD, so the result is valid UTF-8.
std::string decodeUtf8Lossy(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);
// The text as one line of valid UTF-8, for a log line that names something a caller chose: every
// maximal invalid subsequence, every C0 control, DEL, every C1 control and the line and paragraph
// separators U+2028 and U+2029 become U+FFFD, so the text can neither break the line nor carry
// terminal escapes.
std::string oneLineText(std::string_view bytes);
// The length of the longest prefix that does not end inside a character, for bytes that may have been
// cut anywhere: a last sequence whose lead byte promises more bytes than follow is left out.
std::size_t wholeCharactersLength(std::string_view bytes);

} // namespace action_service
