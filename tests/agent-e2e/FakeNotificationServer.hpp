#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainLoop GMainLoop;
typedef struct _GDBusMethodInvocation GDBusMethodInvocation;

namespace agent_e2e {

struct NotifyCall {
    std::string appName;
    std::uint32_t replacesId = 0;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::string appIcon;
    std::string desktopEntry; // the hint, "" when absent
    std::uint32_t id = 0;     // the id the server returned
};

// How the fake server answers.
struct ServerBehaviour {
    // Every reply comes this long after its call (the calls are served meanwhile, as a busy server does).
    std::chrono::milliseconds replyDelay{0};
    // Each Notify is activated (ActionInvoked(id, "default"), and the same for an id that is not the
    // caller's) before its reply with the id is sent, as a server under load may do.
    bool activateBeforeReply = false;
    // GetCapabilities and Notify are never answered (the calls are counted, not recorded).
    bool silent = false;
    // GetCapabilities and Notify are answered with this D-Bus error, when set.
    std::string errorName = {};
};

// org.freedesktop.Notifications on a private bus, served on a thread of its own: records every Notify
// call once its reply is sent, and emits ActionInvoked on request. Its connection doubles as the test's
// bus client.
class FakeNotificationServer {
public:
    FakeNotificationServer(const std::string& busAddress, std::vector<std::string> capabilities,
                           bool ownServerName = true, ServerBehaviour behaviour = {});
    ~FakeNotificationServer();
    // Ends the server as a crash would: its connection closes, calls waiting for their reply stay unanswered.
    // What it recorded stays readable.
    void stop();
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    // The Notify calls answered so far: an id seen here has been sent to the caller.
    std::vector<NotifyCall> calls() const;
    int capabilityQueries() const;
    // Notify calls received, answered or not.
    int notifyCalls() const;
    std::vector<std::string> bodies() const;
    void invokeAction(std::uint32_t id, const std::string& actionKey);
    // NotificationClosed(id, 1): the notification expired, as a server lets it after a while.
    void expire(std::uint32_t id);
    bool nameHasOwner(const std::string& name);
    // The unique name that owns `name`, or "" when none does.
    std::string nameOwner(const std::string& name);
    // A round trip through the bus to this server: every message sent to it earlier has been handled.
    void sync();

    // For the D-Bus handlers.
    std::uint32_t nextId();
    void record(NotifyCall call);
    void countCapabilityQuery();
    void countNotifyCall();
    // Keeps a call that is never answered, released when the server ends.
    void withhold(GDBusMethodInvocation* invocation);
    const std::vector<std::string>& capabilities() const { return capabilities_; }
    const ServerBehaviour& behaviour() const { return behaviour_; }
    GDBusConnection* connection() const { return connection_; }

private:
    std::vector<std::string> capabilities_;
    ServerBehaviour behaviour_;
    mutable std::mutex mutex_;
    int capabilityQueries_ = 0;
    int notifyCalls_ = 0;
    std::vector<GDBusMethodInvocation*> withheld_; // the server thread's only
    std::vector<NotifyCall> calls_;
    std::uint32_t nextId_ = 41; // not 1: ids are the server's, and the agent must keep them
    GDBusConnection* connection_ = nullptr;
    GMainLoop* loop_ = nullptr;
    unsigned registration_ = 0;
    std::thread thread_;
};

} // namespace agent_e2e
