#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The shared text rules sit in the global namespace, so that both programs' namespaces (agent,
// action_service) call them as they call their own functions.

// The character at the start of some bytes: its code point and length when the bytes there are well-formed
// UTF-8 (shortest form, no surrogates, at most U+10FFFF); otherwise no code point, and the length of their
// maximal invalid subsequence (at least 1), which counts as one replaced character, as Unicode recommends.
struct Utf8Character {
    std::optional<char32_t> codePoint;
    std::size_t length = 0;
};
// `bytes` is not empty.
Utf8Character firstUtf8Character(std::string_view bytes);

// The text with every maximal invalid subsequence replaced by U+FFFD, so the result is valid UTF-8.
std::string decodeUtf8Lossy(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);
// The length of the longest prefix that does not end inside a character, for bytes that may have been
// cut anywhere: a last sequence whose lead byte promises more bytes than follow is left out.
std::size_t wholeCharactersLength(std::string_view bytes);
