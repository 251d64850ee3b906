#include "NotificationText.hpp"

#include <glib.h>

namespace agent {

std::string markupEscaped(std::string_view text) {
    g_autofree gchar* escaped = g_markup_escape_text(text.data(), static_cast<gssize>(text.size()));
    return escaped;
}

} // namespace agent
