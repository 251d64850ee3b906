#pragma once

#include <string>
#include <string_view>

namespace action_service {

// The text with every maximal invalid subsequence replaced by U+FFFD, so the result is valid UTF-8.
std::string decodeUtf8Lossy(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

} // namespace action_service
