#pragma once

namespace agent {

// Whether the user's first preferred language is written right to left.
bool preferredLanguageIsRightToLeft();

} // namespace agent
