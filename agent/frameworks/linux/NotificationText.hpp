#pragma once

#include "frameworks/NotificationCenter.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace agent {

// A text as a D-Bus string may carry it: every byte that is not part of valid UTF-8, and every NUL,
// becomes U+FFFD. With `markup`, '&', '<' and '>' are escaped, since the server reads the body as markup.
std::string notificationBody(std::string_view text, bool markup);

// Valid UTF-8 without markup escaping, for the summary and the application name.
std::string notificationString(std::string_view text);

// The notifications the server accepted, by the id it returned, so that an activation finds its
// notification and ignores other clients' ids. Bounded: the oldest are forgotten first.
class PostedNotifications {
public:
    explicit PostedNotifications(std::size_t capacity = 512)
        : capacity_(capacity) {}

    void remember(std::uint32_t id, UserNotification notification);
    void forget(std::uint32_t id);
    // The notification activated by ActionInvoked(id, actionKey): only the "default" action of one of
    // ours.
    std::optional<UserNotification> activated(std::uint32_t id, std::string_view actionKey) const;
    std::size_t size() const { return byId_.size(); }

private:
    std::size_t capacity_;
    std::map<std::uint32_t, UserNotification> byId_;
    std::deque<std::uint32_t> order_;
};

} // namespace agent
