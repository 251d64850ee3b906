#pragma once

#include "frameworks/NotificationCenter.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace agent {

// The default NSUserNotificationCenter. Its delegate is an Objective-C object kept here (as a CFTypeRef,
// so that this header stays plain C++) that hands activations to the delegate set here. Made and used on
// the main thread.
class UserNotificationCenter final : public NotificationCenter {
public:
    UserNotificationCenter();
    ~UserNotificationCenter() override;
    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
    void deliver(const UserNotification& notification) override;

private:
    CFTypeRef bridge_; // retained
};

} // namespace agent
