#pragma once

#include <cstdint>
#include <string>

namespace action_service {

// An error reported by the platform (file system and the like), kept in its own domain.
struct PlatformError {
    std::string domain;
    std::int64_t code = 0;
    std::string description;
    std::string suggestion; // "" when the platform offers none
};

} // namespace action_service
