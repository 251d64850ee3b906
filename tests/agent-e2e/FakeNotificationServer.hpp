#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct _GDBusConnection GDBusConnection;
typedef struct _GMainLoop GMainLoop;

namespace agent_e2e {

struct NotifyCall {
    std::string appName;
    std::uint32_t replacesId = 0;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::uint32_t id = 0; // the id the server returned
};

// org.freedesktop.Notifications on a private bus, served on a thread of its own: records every Notify
// call and emits ActionInvoked on request. Its connection doubles as the test's bus client.
class FakeNotificationServer {
public:
    FakeNotificationServer(const std::string& busAddress, std::vector<std::string> capabilities,
                           bool ownServerName = true);
    ~FakeNotificationServer();
    FakeNotificationServer(const FakeNotificationServer&) = delete;
    FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

    std::vector<NotifyCall> calls() const;
    std::vector<std::string> bodies() const;
    void invokeAction(std::uint32_t id, const std::string& actionKey);
    bool nameHasOwner(const std::string& name);
    // The unique name that owns `name`, or "" when none does.
    std::string nameOwner(const std::string& name);
    // A round trip through the bus to this server: every message sent to it earlier has been handled.
    void sync();

    // For the D-Bus handlers.
    std::uint32_t record(NotifyCall call);
    const std::vector<std::string>& capabilities() const { return capabilities_; }

private:
    std::vector<std::string> capabilities_;
    mutable std::mutex mutex_;
    std::vector<NotifyCall> calls_;
    std::uint32_t nextId_ = 41; // not 1: ids are the server's, and the agent must keep them
    GDBusConnection* connection_ = nullptr;
    GMainLoop* loop_ = nullptr;
    unsigned registration_ = 0;
    std::thread thread_;
};

} // namespace agent_e2e
