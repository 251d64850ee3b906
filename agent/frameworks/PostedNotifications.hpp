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

// The notifications the server accepted, by the unique bus name of the server that answered and the id
// it returned, so that an activation finds its notification and ignores other clients' ids, other
// senders, and a later server's ids. Bounded: the oldest are forgotten first.
//
// A server may announce an activation before its reply with the id has reached us: such an activation
// is held while replies are on their way, and decided when they have come.
class PostedNotifications {
public:
    explicit PostedNotifications(std::size_t capacity = 10000, std::size_t heldCapacity = 256)
        : capacity_(capacity)
        , heldCapacity_(heldCapacity) {}

    // Remembers one of ours; returns it when an activation for it was held, to be activated now.
    std::optional<UserNotification> remember(const std::string& server, std::uint32_t id,
                                             UserNotification notification);
    void forget(const std::string& server, std::uint32_t id);
    // The notification activated by ActionInvoked(id, actionKey) sent by `sender`: only the "default"
    // action of one of ours, from the server that gave the id.
    std::optional<UserNotification> activated(const std::string& sender, std::uint32_t id,
                                              std::string_view actionKey) const;
    // Keeps ActionInvoked(id, "default") of `sender` for an id not known yet. The oldest are let go first.
    void hold(const std::string& sender, std::uint32_t id);
    // No reply is on its way any more: the held activations were for ids that are not ours.
    void dropHeld() { held_.clear(); }
    std::size_t size() const { return byId_.size(); }

private:
    using Key = std::pair<std::string, std::uint32_t>;
    struct Entry {
        UserNotification notification;
        std::uint64_t sequence;
    };
    void trim();
    std::size_t capacity_;
    std::size_t heldCapacity_;
    std::map<Key, Entry> byId_;
    // Oldest first; an entry whose sequence no longer matches was forgotten or remembered again since.
    std::deque<std::pair<Key, std::uint64_t>> order_;
    std::uint64_t nextSequence_ = 0;
    std::deque<Key> held_;
};

} // namespace agent
