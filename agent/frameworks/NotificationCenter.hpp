#pragma once

#include <memory>
#include <optional>
#include <string>

namespace agent {

struct UserNotification {
    std::string title;
    std::string text;
    std::string subtitle;
    std::optional<std::string> identifier; // comes back unchanged on activation
};

class NotificationCenterDelegate {
public:
    virtual ~NotificationCenterDelegate() = default;
    virtual void didActivateNotification(const UserNotification& notification) = 0;
};

// The default user notification centre.
class NotificationCenter {
public:
    virtual ~NotificationCenter() = default;
    // Held weakly; activations reach it while it lives.
    virtual void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) = 0;
    virtual void deliver(const UserNotification& notification) = 0;
};

} // namespace agent
