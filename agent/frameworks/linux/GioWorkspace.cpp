#include "GioWorkspace.hpp"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace agent {

std::optional<std::string> GioWorkspace::menuBarOwnerLocalizedName() {
    return std::nullopt;
}

bool GioWorkspace::openURL(const std::string& url) {
    g_autoptr(GError) error = nullptr;
    return g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error) != FALSE;
}

bool GioWorkspace::launchApplication(const std::string& bundleIdentifier) {
    const std::string entry = bundleIdentifier + ".desktop";
    g_autoptr(GDesktopAppInfo) info = g_desktop_app_info_new(entry.c_str());
    if (info == nullptr) {
        return false;
    }
    g_autoptr(GError) error = nullptr;
    return g_app_info_launch(G_APP_INFO(info), nullptr, nullptr, &error) != FALSE;
}

} // namespace agent
