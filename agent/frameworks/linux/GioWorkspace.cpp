#include "GioWorkspace.hpp"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

namespace agent {

std::optional<std::string> GioWorkspace::menuBarOwnerLocalizedName() {
    return std::nullopt;
}

bool GioWorkspace::openURL(const std::string& url) {
    GError* error = nullptr;
    const bool opened = g_app_info_launch_default_for_uri(url.c_str(), nullptr, &error) != FALSE;
    if (error != nullptr) {
        g_error_free(error);
    }
    return opened;
}

bool GioWorkspace::launchApplication(const std::string& bundleIdentifier) {
    const std::string entry = bundleIdentifier + ".desktop";
    GDesktopAppInfo* info = g_desktop_app_info_new(entry.c_str());
    if (info == nullptr) {
        return false;
    }
    GError* error = nullptr;
    const bool launched = g_app_info_launch(G_APP_INFO(info), nullptr, nullptr, &error) != FALSE;
    if (error != nullptr) {
        g_error_free(error);
    }
    g_object_unref(info);
    return launched;
}

} // namespace agent
