#pragma once

#include <string>

namespace agent {

// The main application's bundle identifier, fixed at build time.
const std::string& mainBundleIdentifier();

} // namespace agent
