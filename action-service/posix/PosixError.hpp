#pragma once

#include "platform/PlatformError.hpp"

namespace action_service {

// errno in the domain Foundation uses for it, with the system's message and no suggestion.
PlatformError posixError(int code);

} // namespace action_service
