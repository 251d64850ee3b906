#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// At most this much of any one text a reply carries (a command's output, a test's output file): a
// reply stays far below what the transport carries, and no text of any size is held in memory.
inline constexpr std::size_t replyTextLimit = std::size_t{1} << 20;

// `bytes` are the first bytes of a text of `size` bytes in all. When more follow, they are cut where
// no character is split; returns how many bytes of the text are then left out.
std::uint64_t keepWholeCharacters(std::string& bytes, std::uint64_t size);
// Ends the text with a line that says how many bytes of `source` were left out, if any were.
void appendLeftOutLine(std::string& text, std::uint64_t leftOut, std::string_view source);
