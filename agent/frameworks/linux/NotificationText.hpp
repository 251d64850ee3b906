#pragma once

#include <string>
#include <string_view>

namespace agent {

// The body as a server that announces body markup reads it. The text itself comes safe from the agent's
// core (valid UTF-8, no controls).
std::string markupEscaped(std::string_view text);

} // namespace agent
