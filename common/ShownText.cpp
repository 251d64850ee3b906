#include "ShownText.hpp"

#include "Utf8.hpp"

#include <cstdint>

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD

// Characters that break a line, hide text, or change the order in which the rest reads.
bool isUnsafe(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x200E || c == 0x200F || c == 0x2028 || c == 0x2029 ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

std::string shownText(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const auto decoded = firstUtf8Character(text);
        if (!decoded.codePoint || isUnsafe(*decoded.codePoint)) {
            result += replacement;
            text.remove_prefix(decoded.length);
            continue;
        }
        result.append(text.substr(0, decoded.length));
        text.remove_prefix(decoded.length);
    }
    return result;
}

std::string withoutTrailingSeparators(std::string_view folder) {
    while (folder.size() > 1 && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    return std::string(folder);
}

std::string shownPath(const std::string& path, std::string_view homeFolder) {
    const std::string home = withoutTrailingSeparators(homeFolder);
    if (home.empty() || home == "/") {
        return path;
    }
    std::string result;
    std::size_t from = 0;
    for (auto found = path.find(home); found != std::string::npos; found = path.find(home, from)) {
        result.append(path, from, found - from).append("~");
        from = found + home.size();
    }
    return result.append(path, from);
}
