#include "FileReading.hpp"
#include "MonitorFolders.hpp"
#include "PropertyListReading.hpp"
#include "ShownText.hpp"

#include <algorithm>
#include <cctype>

namespace agent {

namespace {

// First letter of each word upper case, the rest lower case, without a locale.
std::string capitalized(std::string text) {
    bool wordStart = true;
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ' || byte == '\t' || byte == '\n') {
            wordStart = true;
            continue;
        }
        if (byte < 0x80) {
            // ASCII arithmetic, not toupper/tolower: those follow the process locale (a Turkish one
            // turns 'i' into a dotted capital).
            if (wordStart && byte >= 'a' && byte <= 'z') {
                c = static_cast<char>(byte - 'a' + 'A');
            } else if (!wordStart && byte >= 'A' && byte <= 'Z') {
                c = static_cast<char>(byte - 'A' + 'a');
            }
        }
        wordStart = false;
    }
    return text;
}

// A URL scheme: a letter, then letters, digits, '+', '-' or '.'. The Base64 text after "://" holds only
// characters a URL allows, so the scheme decides whether the job URL is valid.
bool isValidScheme(const std::string& scheme) {
    if (scheme.empty() || std::isalpha(static_cast<unsigned char>(scheme.front())) == 0) {
        return false;
    }
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x80 && (std::isalnum(byte) != 0 || c == '+' || c == '-' || c == '.');
    });
}

} // namespace

void MonitorFolders::postNotification(const std::string& path, Kind kind) {
    const auto owner = platform_.workspace.menuBarOwnerLocalizedName();
    if (owner && *owner == appName) {
        return;
    }
    const auto label = labelIn(readDictionary(platform_.files, platform_.propertyLists, path));
    if (label && isExcepted(*label)) {
        return;
    }
    std::string word;
    switch (kind) {
    case Kind::new_:
        word = mortar::LString("New");
        break;
    case Kind::modified:
        word = capitalized(mortar::LString("modified"));
        break;
    case Kind::deleted:
        word = mortar::LString("Deleted");
        break;
    }
    const std::string shown = shownPath(path, places_.homeFolderPath);
    // Made safe here, for every desktop: the identifier keeps the exact path.
    const std::string text = shownText(platform_.interface.rtl ? shown + " :" + word : word + ": " + shown);
    platform_.interface.notification(appName, text, "",
                                     kind == Kind::deleted ? std::nullopt : std::optional<std::string>(path));
}

void MonitorFolders::didActivateNotification(const UserNotification& notification) {
    openJob(notification);
}

void MonitorFolders::openJob(const UserNotification& notification) {
    if (!notification.identifier) {
        platform_.workspace.launchApplication(places_.mainBundleIdentifier);
        return;
    }
    std::string encoded = *notification.identifier;
    mortar::toBase64(encoded);
    if (!places_.jobScheme || !isValidScheme(*places_.jobScheme)) {
        return;
    }
    platform_.workspace.openURL(*places_.jobScheme + "://" + encoded);
}

} // namespace agent
