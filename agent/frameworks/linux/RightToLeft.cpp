#include "RightToLeft.hpp"

#include <algorithm>
#include <array>
#include <glib.h>

namespace agent {

bool isRightToLeftLanguage(std::string_view localeName) {
    // The language code is what comes before a territory, codeset or modifier.
    const auto end = localeName.find_first_of("_.@-");
    const auto language = localeName.substr(0, end);
    static constexpr std::array<std::string_view, 14> rightToLeft = {
        "ar", "arc", "ckb", "dv", "fa", "he", "iw", "ks", "ps", "sd", "syr", "ug", "ur", "yi",
    };
    return std::find(rightToLeft.begin(), rightToLeft.end(), language) != rightToLeft.end();
}

bool messagesLocaleIsRightToLeft() {
    // GLib orders the messages languages as gettext does: LANGUAGE, LC_ALL, LC_MESSAGES, LANG.
    const gchar* const* names = g_get_language_names_with_category("LC_MESSAGES");
    return names != nullptr && names[0] != nullptr && isRightToLeftLanguage(names[0]);
}

} // namespace agent
