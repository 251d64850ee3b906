#include "MainBundle.hpp"

namespace agent {

const std::string& mainBundleIdentifier() {
    static const std::string identifier = QUORVEL_MAIN_BUNDLE_IDENTIFIER;
    return identifier;
}

} // namespace agent
