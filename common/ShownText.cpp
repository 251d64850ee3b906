#include "ShownText.hpp"

#include <cstdint>

namespace agent {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD

// The code point of the valid UTF-8 sequence at the start of `bytes` (shortest form, no surrogates, at
// most U+10FFFF) and its length; length 0 when the bytes there are not valid UTF-8.
struct Decoded {
    std::uint32_t codePoint = 0;
    std::size_t length = 0;
};

Decoded decode(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto continuation = [&](std::size_t i) { return i < bytes.size() && (byte(i) & 0xC0) == 0x80; };
    const auto tail = [&](std::size_t i) { return static_cast<std::uint32_t>(byte(i) & 0x3F); };
    const unsigned char lead = byte(0);
    if (lead <= 0x7F) {
        return {lead, 1};
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(1) ? Decoded{(std::uint32_t{lead} & 0x1F) << 6 | tail(1), 2} : Decoded{};
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2) || (lead == 0xE0 && byte(1) < 0xA0) ||
            (lead == 0xED && byte(1) > 0x9F)) {
            return {}; // truncated, overlong, or a surrogate
        }
        return {(std::uint32_t{lead} & 0x0F) << 12 | tail(1) << 6 | tail(2), 3};
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3) || (lead == 0xF0 && byte(1) < 0x90) ||
            (lead == 0xF4 && byte(1) > 0x8F)) {
            return {}; // truncated, overlong, or above U+10FFFF
        }
        return {(std::uint32_t{lead} & 0x07) << 18 | tail(1) << 12 | tail(2) << 6 | tail(3), 4};
    }
    return {}; // a stray continuation byte, or a lead byte that is never valid
}

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
        const auto decoded = decode(text);
        if (decoded.length == 0 || isUnsafe(decoded.codePoint)) {
            result += replacement;
            text.remove_prefix(decoded.length == 0 ? 1 : decoded.length);
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

} // namespace agent
