#pragma once

#include <string>

namespace agent {

// The user's real home folder (never a sandbox container's), from the platform.
std::string realHomeFolderPath();

} // namespace agent
