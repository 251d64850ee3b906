#include "NotificationText.hpp"

#include <algorithm>

namespace agent {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at the start of `bytes` (shortest form, no surrogates, at most
// U+10FFFF), or 0.
std::size_t validSequence(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const auto continuation = [&](std::size_t i) { return i < bytes.size() && (byte(i) & 0xC0) == 0x80; };
    const unsigned char lead = byte(0);
    if (lead >= 0x01 && lead <= 0x7F) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(1) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) {
            return 0;
        }
        if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F)) {
            return 0; // overlong, or a surrogate
        }
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) {
            return 0;
        }
        if ((lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) > 0x8F)) {
            return 0; // overlong, or above U+10FFFF
        }
        return 4;
    }
    return 0; // NUL, a stray continuation byte, or a lead byte that is never valid
}

// C0 controls, DEL and C1 controls (U+0080 to U+009F, as UTF-8 C2 80 to C2 9F): line breaks and
// terminal escapes.
bool isControl(std::string_view sequence) {
    const auto lead = static_cast<unsigned char>(sequence.front());
    return lead < 0x20 || lead == 0x7F ||
           (lead == 0xC2 && sequence.size() > 1 && static_cast<unsigned char>(sequence[1]) < 0xA0);
}

std::string sanitized(std::string_view text, bool markup, bool controls = false) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = validSequence(text);
        if (length == 0 || (controls && isControl(text.substr(0, length)))) {
            result += replacement;
            text.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        const char c = text.front();
        if (markup && c == '&') {
            result += "&amp;";
        } else if (markup && c == '<') {
            result += "&lt;";
        } else if (markup && c == '>') {
            result += "&gt;";
        } else {
            result.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return result;
}

} // namespace

std::string notificationBody(std::string_view text, bool markup) {
    return sanitized(text, markup);
}

std::string notificationString(std::string_view text) {
    return sanitized(text, false);
}

std::string notificationLine(std::string_view title, std::string_view text) {
    return sanitized(title, false, true) + ": " + sanitized(text, false, true) + "\n";
}

void PostedNotifications::remember(const std::string& server, std::uint32_t id,
                                   UserNotification notification) {
    Key key{server, id};
    if (byId_.insert_or_assign(key, std::move(notification)).second) {
        order_.push_back(std::move(key));
    }
    while (byId_.size() > capacity_ && !order_.empty()) {
        byId_.erase(order_.front());
        order_.pop_front();
    }
}

void PostedNotifications::forget(const std::string& server, std::uint32_t id) {
    const Key key{server, id};
    if (byId_.erase(key) > 0) {
        order_.erase(std::find(order_.begin(), order_.end(), key));
    }
}

std::optional<UserNotification> PostedNotifications::activated(const std::string& sender, std::uint32_t id,
                                                               std::string_view actionKey) const {
    if (actionKey != "default") {
        return std::nullopt;
    }
    const auto found = byId_.find(Key{sender, id});
    if (found == byId_.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace agent
