#pragma once

#include <cstdio>
#include <string_view>

namespace common {

// Writes the text and flushes the stream at once, so that a line reaches a pipe or the journal while the
// program runs; false when any of it could not be written.
bool writeAll(std::FILE* stream, std::string_view text);

} // namespace common
