#pragma once

#include "frameworks/Workspace.hpp"

namespace agent {

// The desktop as GIO sees it: no application owns a menu bar; URLs open with the default handler of
// their scheme; applications launch from their desktop entry, <bundle identifier>.desktop.
class GioWorkspace final : public Workspace {
public:
    std::optional<std::string> menuBarOwnerLocalizedName() override;
    bool openURL(const std::string& url) override;
    bool launchApplication(const std::string& bundleIdentifier) override;
};

} // namespace agent
