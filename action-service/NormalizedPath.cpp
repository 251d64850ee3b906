#include "NormalizedPath.hpp"

namespace action_service {

bool isNormalizedAbsolutePath(std::string_view path) {
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) {
        return false;
    }
    std::string_view rest = path.substr(1);
    if (!rest.empty() && rest.back() == '/') {
        rest.remove_suffix(1);
    }
    // "/" alone, or "/" with only a separator after it, names no item.
    if (rest.empty()) {
        return false;
    }
    for (;;) {
        const std::size_t separator = rest.find('/');
        const std::string_view component = rest.substr(0, separator);
        if (component.empty() || component == "." || component == "..") {
            return false;
        }
        if (separator == std::string_view::npos) {
            return true;
        }
        rest.remove_prefix(separator + 1);
    }
}

} // namespace action_service
