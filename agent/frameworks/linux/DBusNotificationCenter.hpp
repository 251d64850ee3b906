#pragma once

#include "frameworks/NotificationCenter.hpp"

#include <chrono>
#include <memory>

typedef struct _GDBusConnection GDBusConnection;

namespace agent {

// The desktop's notification server (org.freedesktop.Notifications) on the session bus. Every call is
// asynchronous, so the main thread never waits on the server; replies and activations arrive on the
// main thread's loop. The server's capabilities are asked once per server; a few Notify calls are in
// flight at a time and the rest wait in order, so that a burst stays within the bus's limits. Without a
// bus or a server, a notification is one line on standard output.
class DBusNotificationCenter final : public NotificationCenter {
public:
    // `connection` may be null (no session bus). Made on the main thread.
    explicit DBusNotificationCenter(GDBusConnection* connection);
    ~DBusNotificationCenter() override;
    DBusNotificationCenter(const DBusNotificationCenter&) = delete;
    DBusNotificationCenter& operator=(const DBusNotificationCenter&) = delete;

    void setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) override;
    void deliver(const UserNotification& notification) override;
    // Sends what waits and takes the replies, running the main thread's loop, until nothing is on its
    // way or `deadline` has passed. At the end of the program.
    void finish(std::chrono::milliseconds deadline);

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace agent
