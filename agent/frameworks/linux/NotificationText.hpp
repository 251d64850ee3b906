#pragma once

#include "frameworks/NotificationCenter.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace agent {

// A text as a D-Bus string may carry it: every byte that is not part of valid UTF-8, and every NUL,
// becomes U+FFFD. With `markup`, '&', '<' and '>' are escaped, since the server reads the body as markup.
std::string notificationBody(std::string_view text, bool markup);

// Valid UTF-8 without markup escaping, for the summary and the application name.
std::string notificationString(std::string_view text);

// The line printed when no server takes the notification: "title: text" and one line feed. Beside what
// notificationString replaces, every control character becomes U+FFFD, so that a job file whose name
// holds a line feed or a terminal escape cannot print a report of its own making.
std::string notificationLine(std::string_view title, std::string_view text);

// The notifications the server accepted, by the unique bus name of the server that answered and the id
// it returned, so that an activation finds its notification and ignores other clients' ids, other
// senders, and a later server's ids. Bounded: the oldest are forgotten first.
class PostedNotifications {
public:
    explicit PostedNotifications(std::size_t capacity = 512)
        : capacity_(capacity) {}

    void remember(const std::string& server, std::uint32_t id, UserNotification notification);
    void forget(const std::string& server, std::uint32_t id);
    // The notification activated by ActionInvoked(id, actionKey) sent by `sender`: only the "default"
    // action of one of ours, from the server that gave the id.
    std::optional<UserNotification> activated(const std::string& sender, std::uint32_t id,
                                              std::string_view actionKey) const;
    std::size_t size() const { return byId_.size(); }

private:
    using Key = std::pair<std::string, std::uint32_t>;
    std::size_t capacity_;
    std::map<Key, UserNotification> byId_;
    std::deque<Key> order_;
};

} // namespace agent
