#pragma once

#include <optional>
#include <string>

namespace agent {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Localized name of the application that owns the menu bar; absent when there is none or it has no name.
    virtual std::optional<std::string> menuBarOwnerLocalizedName() = 0;
    // Opens a URL with the desktop's handler for its scheme; false when it could not.
    virtual bool openURL(const std::string& url) = 0;
    // Launches an application by bundle identifier, no options; false when it could not.
    virtual bool launchApplication(const std::string& bundleIdentifier) = 0;
};

} // namespace agent
