#pragma once

#include "frameworks/Workspace.hpp"

namespace agent {

// NSWorkspace's shared workspace. Used on the main thread.
class AppKitWorkspace final : public Workspace {
public:
    std::optional<std::string> menuBarOwnerLocalizedName() override;
    bool openURL(const std::string& url) override;
    bool launchApplication(const std::string& bundleIdentifier) override;
};

} // namespace agent
