#pragma once

#include <string_view>

namespace agent {

// Whether the language of a locale name ("ar", "he_IL.UTF-8", "fa_IR@calendar", ...) is written right to
// left. "C", "POSIX" and empty names are not.
bool isRightToLeftLanguage(std::string_view localeName);

// Whether the messages locale of this process (its first language for messages) runs right to left.
bool messagesLocaleIsRightToLeft();

} // namespace agent
