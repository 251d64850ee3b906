#include "BusNames.hpp"

#include "Utf8.hpp"

#include <algorithm>

namespace action_service {

BusNames BusNames::forBundleIdentifier(std::string_view identifier) {
    std::string base(identifier);
    std::replace(base.begin(), base.end(), '-', '_');
    BusNames names;
    names.name = base + ".Quorvel5XPCAction";
    names.path = "/" + names.name;
    std::replace(names.path.begin(), names.path.end(), '.', '/');
    names.interface = base + ".RemoteObjectType";
    return names;
}

std::string busString(std::string_view bytes) {
    if (bytes.find('\0') == std::string_view::npos && isValidUtf8(bytes)) {
        return std::string(bytes);
    }
    std::string decoded = decodeUtf8Lossy(bytes);
    std::string result;
    result.reserve(decoded.size());
    for (char c : decoded) {
        if (c == '\0') {
            result += "\xEF\xBF\xBD";
        } else {
            result += c;
        }
    }
    return result;
}

} // namespace action_service
