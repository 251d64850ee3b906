#pragma once

#include "BusNames.hpp"
#include "CallScheduler.hpp"
#include "Controller.hpp"
#include "platform/Listener.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <thread>
#include <variant>
#include <vector>

namespace action_service {

// The endpoint of the service listener: the unique bus name of the service's connection.
class BusEndpoint final : public ListenerEndpoint {
public:
    explicit BusEndpoint(std::string name)
        : uniqueName(std::move(name)) {}
    const std::string uniqueName;
};

// The service listener on D-Bus. It owns the well-known name, exports RemoteObjectType as RunAction
// and ListenerEndpoint, and treats each caller (one unique bus name) as one connection: the delegate
// accepts it on its first call, and it is forgotten when the caller leaves the bus.
//
// One thread, the bus thread, owns the connection, its event loop and every message, and never waits
// for a reply from the bus. It reads a RunAction request into the request runAction reads (what no
// request reads is skipped unread) and hands the call to a CallScheduler: one caller's calls in order,
// different callers' at once, within its bounds; a call over a bound is answered at once with
// org.freedesktop.DBus.Error.LimitsExceeded. Workers never touch the connection: a finished call hands
// its reply back by its id, and the bus thread sends it. Other members are answered by the bus library
// with the standard errors, and signals are dropped, without their bodies being read.
class BusListener final : public Listener {
public:
    // The process's listener, made on first use and kept until the process ends.
    static BusListener& service();

    explicit BusListener(BusNames names);
    BusListener(const BusListener&) = delete;
    BusListener& operator=(const BusListener&) = delete;

    void setDelegate(Controller& delegate) { delegate_ = &delegate; }
    // Run when the process ends with calls unfinished, to remove what they leave half done.
    void setAbandonedCallsCleanup(std::function<void()> cleanup) { cleanup_ = std::move(cleanup); }

    // Connects to the bus that started the process (the session bus when run by hand), owns the name and
    // serves until an exit. Ends the process: 0 after a requested exit (a call, SIGTERM, SIGINT or
    // SIGHUP), 1 with one line on standard error when the bus cannot be used or the name not owned.
    [[noreturn]] void resume();

    std::shared_ptr<ListenerEndpoint> endpoint() override;

    // On a call's thread: the call ends the process. Its reply, if it stored one, goes once the name is
    // released; this thread waits here until the process ends. See beginExit().
    [[noreturn]] void exitProcess();

private:
    using CallId = CallScheduler::CallId;
    using ReplyBody = std::variant<Dictionary, std::vector<std::string>>;
    struct MessageUnref {
        void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
    };
    using Message = std::unique_ptr<sd_bus_message, MessageUnref>;
    class Caller;
    // A call taken and not yet answered, on the bus thread. It keeps its reply messages, made from the
    // call when it came, not the call itself: the request's bytes go as soon as they are read.
    struct Pending {
        Message reply;
        Message exiting;
        std::string description; // for the log line of a call abandoned at exit
    };
    // What a worker hands back to the bus thread.
    struct Handback {
        CallId id = 0;
        std::optional<ReplyBody> body;
        bool endsProcess = false;
    };
    // The call a worker thread is carrying out.
    struct InFlight {
        CallId id;
        std::optional<Dictionary> reply;
    };
    enum class Phase { starting, serving, releasing, finishing };

    static int onRunAction(sd_bus_message* call, void* self, sd_bus_error* error);
    static int onListenerEndpoint(sd_bus_message* call, void* self, sd_bus_error* error);
    static int onNameRequested(sd_bus_message* reply, void* self, sd_bus_error* error);
    static int onNameReleased(sd_bus_message* reply, void* self, sd_bus_error* error);
    static int onBusReady(sd_event_source* source, int fd, std::uint32_t events, void* self);
    static int onBusTimer(sd_event_source* source, std::uint64_t now, void* self);
    static int onPrepare(sd_event_source* source, void* self);
    static int onHandback(sd_event_source* source, int fd, std::uint32_t events, void* self);
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info, void* self);
    static int onDeadline(sd_event_source* source, std::uint64_t now, void* self);

    // Bus thread.
    void connect();
    void processBus();
    void lose(int error);
    [[noreturn]] void cannotUse(const std::string& cause);
    int take(sd_bus_message* call, ReplyBody work, std::size_t bytes, std::string description);
    RemoteObjectType* exportedFor(const std::string& name);
    void learnUniqueName();
    void forget(const std::string& name);
    void send(CallId id, const ReplyBody& body);
    void handBackReceived();
    void beginExit(int status);
    void released();
    void finishIfDone();
    [[noreturn]] void finish();
    std::string refusalText(CallScheduler::Refusal refusal) const;
    // Worker threads.
    void handBack(Handback handback);
    void runAction(RemoteObjectType& object, CallId id, const Dictionary& request);
    void listenerEndpoint(RemoteObjectType& object, CallId id);

    const BusNames names_;
    const std::string exitingError_; // the error name calls get once the service is exiting
    Controller* delegate_ = nullptr;
    std::function<void()> cleanup_;
    sd_event* event_ = nullptr;
    sd_bus* bus_ = nullptr;
    sd_event_source* busSource_ = nullptr;
    sd_event_source* busTimer_ = nullptr;
    int wake_ = -1; // eventfd: a worker handed something back
    Phase phase_ = Phase::starting;
    bool busBroken_ = false;
    int exitStatus_ = 0;
    CallId nextId_ = 1;
    std::map<CallId, Pending> pending_;
    std::vector<CallId> dropped_; // queued when the exit began, answered once released
    std::vector<std::pair<CallId, Dictionary>> exitReplies_; // of calls that ended the process
    std::map<std::string, std::unique_ptr<Caller>, std::less<>> callers_;
    CallScheduler scheduler_{CallScheduler::Limits{}};

    std::mutex uniqueNameMutex_;
    std::string uniqueName_;
    bool uniqueNameKnown_ = false; // bus thread only
    std::mutex handbackMutex_;
    std::vector<Handback> handbacks_;
    std::mutex inFlightMutex_;
    std::map<std::thread::id, InFlight*> inFlight_;
};

} // namespace action_service
