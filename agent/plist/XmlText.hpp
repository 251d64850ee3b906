#pragma once

#include <string>
#include <string_view>

namespace agent {

// Appends the character data of an XML property list (text outside CDATA, between two pieces of markup) to
// `out` with its references replaced: the five named entities and decimal or hexadecimal character
// references, each turned into UTF-8. False, with `out` in an unspecified state, for any other '&': a lone
// ampersand, an unknown name, a reference with signs, spaces or leading "0x", one longer than eight
// characters, or a code point that is zero, a surrogate or beyond U+10FFFF. The platform parser refuses
// some of those and reads others in ways of its own, so the caller leaves such text to it.
bool appendXmlText(std::string_view text, std::string& out);

} // namespace agent
