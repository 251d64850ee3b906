#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Global, like the rest of common/, so that both programs' namespaces call them unqualified.

// The text with every maximal invalid subsequence replaced by U+FFFD, so the result is valid UTF-8.
std::string decodeUtf8Lossy(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);
// The length of the longest prefix that does not end inside a character, for bytes that may have been
// cut anywhere: a last sequence whose lead byte promises more bytes than follow is left out.
std::size_t wholeCharactersLength(std::string_view bytes);

// The character at the start of `bytes` (not empty): its code point and length where they are well-formed
// UTF-8; otherwise no code point, and the length of their maximal invalid subsequence (at least 1), which
// stands for one replaced character.
struct Utf8Character {
    std::optional<char32_t> codePoint;
    std::size_t length = 0;
};
Utf8Character firstUtf8Character(std::string_view bytes);
