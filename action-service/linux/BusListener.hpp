#pragma once

#include "BusNames.hpp"
#include "CallScheduler.hpp"
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
// the delegate accepts it on its first call, and it is forgotten when the caller leaves the bus. Calls
// go from the thread that reads the connection straight to a CallScheduler: one caller's in order,
// different callers' at once, within its bounds; a call over a bound is answered at once with
// org.freedesktop.DBus.Error.LimitsExceeded.
class BusListener final : public Listener {
public:
    // The process's listener, made on first use and kept until the process ends.
    static BusListener& service();

    explicit BusListener(BusNames names);
    BusListener(const BusListener&) = delete;
    BusListener& operator=(const BusListener&) = delete;

    void setDelegate(Controller& delegate) { delegate_ = &delegate; }
    // Owns the name on the bus that started the process (the session bus when run by hand) and
    // runs the main loop. When the bus goes or the name cannot be owned, the process ends as in
    // exitProcess.
    [[noreturn]] void resume();

    std::shared_ptr<ListenerEndpoint> endpoint() override;

    // Takes no further call, lets every call already running finish and send its reply, releases the
    // name (so that the next call starts a fresh service), sends the replies that calls ending the
    // process stored, flushes the connection and _exit(0)s. Calls that were queued and not started are
    // answered by the bus when the process is gone.
    [[noreturn]] void exitProcess();

private:
    class Caller;
    class Call;
    using Message = std::shared_ptr<GDBusMessage>;

    static void onBusAcquired(GDBusConnection* connection, const gchar* name, gpointer self);
    static void onNameLost(GDBusConnection* connection, const gchar* name, gpointer self);
    static void onClosed(GDBusConnection* connection, gboolean remotePeerVanished, GError* error,
                         gpointer self);
    static void onNameOwnerChanged(GDBusConnection* connection, const gchar* sender, const gchar* path,
                                   const gchar* interface, const gchar* signal, GVariant* parameters,
                                   gpointer self);
    static void onOwnerChecked(GObject* connection, GAsyncResult* result, gpointer check);
    static void onMethodCall(GDBusConnection* connection, const gchar* sender, const gchar* path,
                             const gchar* interface, const gchar* method, GVariant* parameters,
                             GDBusMethodInvocation* invocation, gpointer self);
    static GDBusMessage* onMessage(GDBusConnection* connection, GDBusMessage* message, gboolean incoming,
                                   gpointer self);
    static gboolean onNewCaller(gpointer check);

    // On GDBus's worker thread, which reads the connection: the calls of our interface go from there
    // to the scheduler at once, without a detour through the main loop.
    void take(GDBusConnection* connection, Message call, bool runAction);
    RemoteObjectType* exportedFor(const std::string& name);
    std::string refusalText(CallScheduler::Refusal refusal) const;
    // Main thread.
    void watch(GDBusConnection* connection, const std::string& name);
    void forget(const std::string& name);
    // On a scheduler thread.
    void runAction(RemoteObjectType& object, Message call);
    void listenerEndpoint(RemoteObjectType& object, Message call);

    const BusNames names_;
    GDBusNodeInfo* introspection_ = nullptr;
    Controller* delegate_ = nullptr;
    std::atomic<GDBusConnection*> connection_{nullptr};
    std::atomic<bool> exiting_{false};
    std::mutex exitMutex_;
    CallScheduler scheduler_{CallScheduler::Limits{}};
    std::mutex callersMutex_;
    std::map<std::string, std::unique_ptr<Caller>, std::less<>> callers_;
    // The call each scheduler thread is carrying out, for an exit in its midst.
    std::mutex inFlightMutex_;
    std::map<std::thread::id, Call*> inFlight_;
};

} // namespace action_service
