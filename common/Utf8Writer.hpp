#pragma once

#include <cstdint>
#include <string>

// Appends a code point up to U+10FFFF as UTF-8 (surrogates too, in their three-byte form: callers that
// must not write them check first).
void appendUtf8(std::uint32_t codePoint, std::string& out);
