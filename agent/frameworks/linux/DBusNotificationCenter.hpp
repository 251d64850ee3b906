#pragma once

#include "frameworks/NotificationCenter.hpp"
#include "frameworks/Timer.hpp"

#include <chrono>
#include <memory>
#include <string>

typedef struct _GDBusConnection GDBusConnection;

namespace agent {

// The desktop's notification server (org.freedesktop.Notifications) on the session bus, driven by the
// portable delivery policy: this makes the calls, asynchronously so that the main thread never waits on
// the server, and reports their replies, the owner of the server's name and activations, all on the main
// thread's loop. Lines for notifications that are not shown go to standard output.
class DBusNotificationCenter final : public NotificationCenter {
public:
    // `connection` may be null (no session bus). `applicationId` is the main application's desktop id,
    // sent as the icon name and the desktop-entry hint. Made on the main thread.
    DBusNotificationCenter(GDBusConnection* connection, Timer& timer, std::string applicationId);
    ~DBusNotificationCenter() override;
    DBusNotificationCenter(const DBusNotificationCenter&) = delete;
    DBusNotificationCenter& operator=(const DBusNotificationCenter&) = delete;

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
    void deliver(const UserNotification& notification) override;
    // Sends what waits and takes the replies, running the main thread's loop, until nothing is on its
    // way or `deadline` has passed; then prints what is still neither shown nor printed. At the end of the
    // program.
    void finish(std::chrono::milliseconds deadline);

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace agent
