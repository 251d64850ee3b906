#include "PostedNotifications.hpp"

#include <algorithm>

namespace agent {

std::optional<UserNotification> PostedNotifications::remember(const std::string& server, std::uint32_t id,
                                                              UserNotification notification) {
    Key key{server, id};
    const auto held = std::find(held_.begin(), held_.end(), key);
    std::optional<UserNotification> activate;
    if (held != held_.end()) {
        held_.erase(held);
        activate = notification;
    }
    const auto sequence = nextSequence_++;
    byId_.insert_or_assign(key, Entry{std::move(notification), sequence});
    order_.emplace_back(std::move(key), sequence);
    trim();
    return activate;
}

void PostedNotifications::forget(const std::string& server, std::uint32_t id) {
    byId_.erase(Key{server, id});
    trim();
}

void PostedNotifications::trim() {
    const auto current = [&](const std::pair<Key, std::uint64_t>& entry) {
        const auto found = byId_.find(entry.first);
        return found != byId_.end() && found->second.sequence == entry.second;
    };
    while (!order_.empty() && (byId_.size() > capacity_ || !current(order_.front()))) {
        if (current(order_.front())) {
            byId_.erase(order_.front().first);
        }
        order_.pop_front();
    }
    // Forgotten entries in the middle are dropped now and then, so the order stays near the size.
    if (order_.size() > 2 * capacity_ + 16) {
        std::erase_if(order_, [&](const auto& entry) { return !current(entry); });
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
    return found->second.notification;
}

void PostedNotifications::hold(const std::string& sender, std::uint32_t id) {
    held_.emplace_back(sender, id);
    while (held_.size() > heldCapacity_) {
        held_.pop_front();
    }
}

} // namespace agent
