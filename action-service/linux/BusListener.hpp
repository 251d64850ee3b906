#pragma once

#include "BusNames.hpp"
#include "Controller.hpp"
#include "platform/Listener.hpp"

#include <atomic>
#include <gio/gio.h>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace action_service {

// The endpoint of the service listener: the unique bus name of the service's connection.
class BusEndpoint final : public ListenerEndpoint {
public:
    explicit BusEndpoint(std::string name)
        : uniqueName(std::move(name)) {}
    const std::string uniqueName;
};

// The service listener on D-Bus. It owns the well-known name, exports RemoteObjectType as
// RunAction and ListenerEndpoint, and treats each caller (one unique bus name) as one connection:
// the delegate accepts it on its first call, its calls then run one after another on a thread of
// its own (there only while calls wait), and it is forgotten when the caller leaves the bus.
class BusListener final : public Listener {
public:
    // The process's listener, made on first use and kept until the process ends.
    static BusListener& service();

    explicit BusListener(BusNames names);
    BusListener(const BusListener&) = delete;
    BusListener& operator=(const BusListener&) = delete;

    void setDelegate(Controller& delegate) { delegate_ = &delegate; }
    // Owns the name on the bus that started the process (the session bus when run by hand) and
    // runs the main loop. Returns only when the bus is gone or the name could not be owned.
    int resume();

    std::shared_ptr<ListenerEndpoint> endpoint() override;

    // Releases the name (so that the next call starts a fresh service), then sends the calling
    // thread's stored reply, flushes the connection and _exit(0)s. Other callers' calls in flight
    // are abandoned.
    [[noreturn]] void exitProcess();

private:
    class Caller;
    class Call;
    using Invocation = std::shared_ptr<GDBusMethodInvocation>;

    static void onBusAcquired(GDBusConnection* connection, const gchar* name, gpointer self);
    static void onNameLost(GDBusConnection* connection, const gchar* name, gpointer self);
    static void onClosed(GDBusConnection* connection, gboolean remotePeerVanished, GError* error,
                         gpointer self);
    static void onNameOwnerChanged(GDBusConnection* connection, const gchar* sender, const gchar* path,
                                   const gchar* interface, const gchar* signal, GVariant* parameters,
                                   gpointer self);
    static void onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar* path,
                             const gchar* interface, const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer self);

    void stop();
    Caller* callerFor(const std::string& name);
    // On the caller's thread.
    void runAction(RemoteObjectType& object, Invocation invocation);
    void listenerEndpoint(RemoteObjectType& object, Invocation invocation);

    const BusNames names_;
    GDBusNodeInfo* introspection_ = nullptr;
    Controller* delegate_ = nullptr;
    GMainLoop* loop_ = nullptr;
    std::atomic<GDBusConnection*> connection_{nullptr};
    std::atomic<bool> exiting_{false};
    std::mutex exitMutex_;
    // Main thread only.
    std::map<std::string, std::unique_ptr<Caller>> callers_;
    // The call each caller thread is carrying out, for an exit in its midst.
    std::mutex inFlightMutex_;
    std::map<std::thread::id, Call*> inFlight_;
};

} // namespace action_service
