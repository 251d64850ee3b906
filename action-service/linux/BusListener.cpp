#include "BusListener.hpp"

#include "FilteredBusConnection.hpp"
#include "VariantValue.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace action_service {

namespace {

constexpr const char* busService = "org.freedesktop.DBus";
constexpr const char* busPath = "/org/freedesktop/DBus";
constexpr const char* busInterface = "org.freedesktop.DBus";
constexpr const char* limitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";
// The largest reply body that every bus carries: dbus-daemon's built-in message limit (32 MiB, which
// configurations may raise; the protocol's own bounds, 64 MiB arrays and 128 MiB messages, are above
// it), less room for the header.
constexpr std::size_t largestReplyBody = (std::size_t{32} << 20) - (std::size_t{64} << 10);

std::string introspectionXml(const std::string& interface) {
    return "<node><interface name='" + interface +
           "'>"
           "<method name='RunAction'>"
           "<arg name='request' type='a{sv}' direction='in'/>"
           "<arg name='reply' type='a{sv}' direction='out'/>"
           "</method>"
           "<method name='ListenerEndpoint'>"
           "<arg name='endpoint' type='as' direction='out'/>"
           "</method>"
           "</interface></node>";
}

void report(const char* what, GError* error) {
    std::fprintf(stderr, "Quorvel5XPCAction: %s: %s\n", what,
                 error != nullptr ? error->message : "unknown error");
    std::fflush(stderr);
    g_clear_error(&error);
}

} // namespace

// One caller: the connection the delegate accepts, exports on and resumes.
class BusListener::Caller final : public Connection {
public:
    void setExportedInterface(const Interface& interface) override {
        protocol_ = std::string(interface.protocol);
    }
    void setExportedObject(RemoteObjectType& object) override { object_ = &object; }
    void resume() override { resumed_ = true; }

    // The object calls go to, once the connection exports RemoteObjectType and is resumed.
    RemoteObjectType* exported() const {
        return resumed_ && object_ != nullptr && protocol_ == RemoteObjectType::name ? object_ : nullptr;
    }

    guint subscription = 0; // NameOwnerChanged for this caller only

private:
    std::string protocol_;
    RemoteObjectType* object_ = nullptr;
    bool resumed_ = false;
};

// A new caller to watch, and whether it is still on the bus (it may have left before we listened for
// its leaving).
struct OwnerCheck {
    BusListener* listener;
    std::string name;
};

// A method call being carried out. It keeps only what its reply needs (a reply message without
// body), not the call message, so the request's bytes can go as soon as they are read.
class BusListener::Call {
public:
    explicit Call(GDBusMessage* message) {
        if ((g_dbus_message_get_flags(message) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) == 0) {
            replyMessage_ = g_dbus_message_new_method_reply(message);
        }
    }
    ~Call() {
        if (replyMessage_ != nullptr) {
            g_object_unref(replyMessage_);
        }
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Takes the floating body. A body larger than a bus carries would cost the service its
    // connection, so the caller gets LimitsExceeded instead.
    void send(GDBusConnection* connection, GVariant* body) {
        g_variant_ref_sink(body);
        if (replyMessage_ != nullptr && connection != nullptr) {
            if (g_variant_get_size(body) > largestReplyBody) {
                g_variant_unref(body);
                body = g_variant_ref_sink(g_variant_new("(s)", "The reply is larger than the bus carries"));
                g_dbus_message_set_message_type(replyMessage_, G_DBUS_MESSAGE_TYPE_ERROR);
                g_dbus_message_set_error_name(replyMessage_, limitsExceeded);
            }
            g_dbus_message_set_body(replyMessage_, body);
            GError* error = nullptr;
            if (!g_dbus_connection_send_message(connection, replyMessage_, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                                nullptr, &error)) {
                report("could not send a reply", error);
            }
        }
        g_variant_unref(body);
    }

    std::optional<Dictionary> reply; // stored by the reply callback, sent when the action is over

private:
    GDBusMessage* replyMessage_ = nullptr;
};

BusListener& BusListener::service() {
    // Never destroyed: caller threads may still use it while the process ends.
    static BusListener& listener = *new BusListener(BusNames::forBundleIdentifier(mainBundleIdentifier()));
    return listener;
}

BusListener::BusListener(BusNames names)
    : names_(std::move(names)) {
    GError* error = nullptr;
    introspection_ = g_dbus_node_info_new_for_xml(introspectionXml(names_.interface).c_str(), &error);
    if (introspection_ == nullptr) {
        report("bad interface description", error);
    }
}

void BusListener::resume() {
    // Started by the bus: answer on that bus. Started by hand: the session bus.
    const bool activated =
        g_getenv("DBUS_STARTER_BUS_TYPE") != nullptr || g_getenv("DBUS_STARTER_ADDRESS") != nullptr;
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    GError* error = nullptr;
    GDBusConnection* connection =
        connectFilteredBus(activated ? G_BUS_TYPE_STARTER : G_BUS_TYPE_SESSION, &error);
    if (connection == nullptr) {
        report(("no bus to own " + names_.name + " on").c_str(), error);
        exitProcess();
    }
    onBusAcquired(connection, names_.name.c_str(), this);
    g_bus_own_name_on_connection(connection, names_.name.c_str(), G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                 onNameLost, this, nullptr);
    g_object_unref(connection);
    // The loop ends only through exitProcess.
    for (;;) {
        g_main_loop_run(loop);
    }
}

std::shared_ptr<ListenerEndpoint> BusListener::endpoint() {
    GDBusConnection* connection = connection_.load();
    if (connection == nullptr) {
        return nullptr;
    }
    const gchar* name = g_dbus_connection_get_unique_name(connection);
    return name != nullptr ? std::make_shared<BusEndpoint>(name) : nullptr;
}

void BusListener::onBusAcquired(GDBusConnection* connection, const gchar*, gpointer self) {
    auto& listener = *static_cast<BusListener*>(self);
    // Our own handler ends the process once the calls running have finished.
    g_dbus_connection_set_exit_on_close(connection, FALSE);
    g_signal_connect(connection, "closed", G_CALLBACK(onClosed), self);
    listener.connection_.store(static_cast<GDBusConnection*>(g_object_ref(connection)));
    g_dbus_connection_add_filter(connection, onMessage, self, nullptr);
    static const GDBusInterfaceVTable vtable = {onMethodCall, nullptr, nullptr, {}};
    if (listener.introspection_ == nullptr) {
        return;
    }
    GError* error = nullptr;
    if (g_dbus_connection_register_object(connection, listener.names_.path.c_str(),
                                          listener.introspection_->interfaces[0], &vtable, self, nullptr,
                                          &error) == 0) {
        report("could not export the object", error);
    }
}

void BusListener::onNameLost(GDBusConnection* connection, const gchar* name, gpointer self) {
    auto& listener = *static_cast<BusListener*>(self);
    if (listener.exiting_.load()) {
        return; // the exit released it
    }
    if (listener.connection_.load() == nullptr) {
        std::fprintf(stderr, "Quorvel5XPCAction: no bus to own %s on\n", name);
    } else if (connection != nullptr) {
        std::fprintf(stderr, "Quorvel5XPCAction: %s is owned by another process\n", name);
    }
    listener.exitProcess();
}

void BusListener::onClosed(GDBusConnection*, gboolean, GError*, gpointer self) {
    auto& listener = *static_cast<BusListener*>(self);
    if (!listener.exiting_.load()) {
        listener.exitProcess();
    }
}

void BusListener::onNameOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                     GVariant* parameters, gpointer self) {
    const gchar* name = nullptr;
    const gchar* oldOwner = nullptr;
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", &name, &oldOwner, &newOwner);
    if (newOwner[0] == '\0') {
        // The caller left; what it had queued still runs.
        static_cast<BusListener*>(self)->forget(name);
    }
}

void BusListener::onOwnerChecked(GObject* connection, GAsyncResult* result, gpointer data) {
    std::unique_ptr<OwnerCheck> check(static_cast<OwnerCheck*>(data));
    GError* error = nullptr;
    GVariant* owner = g_dbus_connection_call_finish(G_DBUS_CONNECTION(connection), result, &error);
    if (owner != nullptr) {
        g_variant_unref(owner);
        return;
    }
    if (g_dbus_error_is_remote_error(error)) {
        check->listener->forget(check->name);
    }
    g_error_free(error);
}

void BusListener::forget(const std::string& name) {
    std::lock_guard lock(callersMutex_);
    auto found = callers_.find(name);
    if (found == callers_.end()) {
        return;
    }
    if (GDBusConnection* connection = connection_.load();
        connection != nullptr && found->second->subscription != 0) {
        g_dbus_connection_signal_unsubscribe(connection, found->second->subscription);
    }
    callers_.erase(found);
}

gboolean BusListener::onNewCaller(gpointer data) {
    std::unique_ptr<OwnerCheck> check(static_cast<OwnerCheck*>(data));
    if (GDBusConnection* connection = check->listener->connection_.load(); connection != nullptr) {
        check->listener->watch(connection, check->name);
    }
    return G_SOURCE_REMOVE;
}

void BusListener::watch(GDBusConnection* connection, const std::string& name) {
    {
        std::lock_guard lock(callersMutex_);
        auto found = callers_.find(name);
        if (found == callers_.end()) {
            return;
        }
        // Only this caller's leaving is of interest, not every name on the bus.
        found->second->subscription = g_dbus_connection_signal_subscribe(
            connection, busService, busInterface, "NameOwnerChanged", busPath, name.c_str(),
            G_DBUS_SIGNAL_FLAGS_NONE, onNameOwnerChanged, this, nullptr);
    }
    // Asked after the match is in place, so a caller gone already is noticed here and one that leaves
    // later by the signal.
    g_dbus_connection_call(connection, busService, busPath, busInterface, "GetNameOwner",
                           g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE,
                           -1, nullptr, onOwnerChecked, new OwnerCheck{this, name});
}

RemoteObjectType* BusListener::exportedFor(const std::string& name) {
    std::lock_guard lock(callersMutex_);
    if (auto found = callers_.find(name); found != callers_.end()) {
        return found->second->exported();
    }
    auto caller = std::make_unique<Caller>();
    if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(*this, *caller) ||
        caller->exported() == nullptr) {
        return nullptr;
    }
    RemoteObjectType* object = caller->exported();
    callers_.emplace(name, std::move(caller));
    // Signal subscriptions deliver to the thread that makes them: made on the main loop.
    g_idle_add(onNewCaller, new OwnerCheck{this, name});
    return object;
}

std::string BusListener::refusalText(CallScheduler::Refusal refusal) const {
    const CallScheduler::Limits& limits = scheduler_.limits;
    switch (refusal) {
    case CallScheduler::Refusal::callerQueueFull:
        return "At most " + std::to_string(limits.queuedPerCaller) + " calls of one caller wait their turn";
    case CallScheduler::Refusal::queuedBytesFull:
        return "At most " + std::to_string(limits.queuedBytes) + " bytes of requests wait their turn";
    case CallScheduler::Refusal::noThread:
        return "No thread could be started for the call";
    case CallScheduler::Refusal::stopped:
        break;
    }
    return "The service is ending";
}

GDBusMessage* BusListener::onMessage(GDBusConnection* connection, GDBusMessage* message, gboolean incoming,
                                     gpointer self) {
    auto& listener = *static_cast<BusListener*>(self);
    if (!incoming || g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        return message;
    }
    const char* path = g_dbus_message_get_path(message);
    const char* interface = g_dbus_message_get_interface(message);
    const char* member = g_dbus_message_get_member(message);
    const char* signature = g_dbus_message_get_signature(message);
    if (path == nullptr || interface == nullptr || member == nullptr || listener.names_.path != path ||
        listener.names_.interface != interface) {
        return message;
    }
    const std::string_view arguments = signature != nullptr ? signature : "";
    const bool runAction = std::strcmp(member, "RunAction") == 0 && arguments == "a{sv}";
    const bool listenerEndpoint = std::strcmp(member, "ListenerEndpoint") == 0 && arguments.empty();
    if (!runAction && !listenerEndpoint) {
        return message; // the registered object answers: InvalidArgs, UnknownMethod, ...
    }
    listener.take(connection, Message(message, g_object_unref), runAction);
    return nullptr;
}

void BusListener::take(GDBusConnection* connection, Message call, bool isRunAction) {
    auto refuse = [&](const char* name, const std::string& text) {
        if ((g_dbus_message_get_flags(call.get()) & G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED) != 0) {
            return;
        }
        GDBusMessage* error = g_dbus_message_new_method_error_literal(call.get(), name, text.c_str());
        g_dbus_connection_send_message(connection, error, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(error);
    };
    const char* sender = g_dbus_message_get_sender(call.get());
    RemoteObjectType* object = sender != nullptr ? exportedFor(sender) : nullptr;
    if (object == nullptr) {
        refuse("org.freedesktop.DBus.Error.AccessDenied", "The service did not accept this caller");
        return;
    }
    GVariant* body = g_dbus_message_get_body(call.get());
    const std::size_t bytes = body != nullptr ? g_variant_get_size(body) : 0;
    CallScheduler::Task task;
    if (isRunAction) {
        task = [this, object, call]() mutable { runAction(*object, std::move(call)); };
    } else {
        task = [this, object, call]() mutable { listenerEndpoint(*object, std::move(call)); };
    }
    if (auto refusal = scheduler_.post(sender, bytes, std::move(task))) {
        // Stopped: the process is ending, and the bus answers the call when it has.
        if (*refusal != CallScheduler::Refusal::stopped) {
            refuse(limitsExceeded, refusalText(*refusal));
        }
    }
}

void BusListener::onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                               GVariant*, GDBusMethodInvocation* invocation, gpointer) {
    // The connection's filter takes every call that matches the interface; none is left for here.
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.UnknownMethod",
                                               "No such method");
}

void BusListener::runAction(RemoteObjectType& object, Message message) {
    Call call(message.get());
    Dictionary request;
    {
        GVariant* dictionary = g_variant_get_child_value(g_dbus_message_get_body(message.get()), 0);
        request = requestFromVariant(dictionary);
        g_variant_unref(dictionary);
    }
    // The call message and its body go now: a large text is held once, by the request.
    message.reset();

    {
        std::lock_guard lock(inFlightMutex_);
        inFlight_[std::this_thread::get_id()] = &call;
    }
    object.runActionWith(request, [&call](Dictionary reply) { call.reply = std::move(reply); });
    {
        std::lock_guard lock(inFlightMutex_);
        inFlight_.erase(std::this_thread::get_id());
    }
    request.clear();
    if (call.reply) {
        call.send(connection_.load(), g_variant_new("(@a{sv})", variantFromDictionary(*call.reply)));
    }
}

void BusListener::listenerEndpoint(RemoteObjectType& object, Message message) {
    Call call(message.get());
    message.reset();
    std::shared_ptr<ListenerEndpoint> endpoint;
    object.listenerEndpointWithReply(
        [&endpoint](std::shared_ptr<ListenerEndpoint> given) { endpoint = std::move(given); });
    GVariantBuilder names;
    g_variant_builder_init(&names, G_VARIANT_TYPE_STRING_ARRAY);
    if (const auto* bus = dynamic_cast<const BusEndpoint*>(endpoint.get()); bus != nullptr) {
        g_variant_builder_add(&names, "s", bus->uniqueName.c_str());
    }
    call.send(connection_.load(), g_variant_new("(as)", &names));
}

void BusListener::exitProcess() {
    bool fromCall = false;
    {
        std::lock_guard lock(inFlightMutex_);
        fromCall = inFlight_.count(std::this_thread::get_id()) != 0;
    }
    // Every other call running finishes and replies first; a call that ends the process waits here too.
    scheduler_.drain(fromCall);
    // One exit goes on; any other waits here until the process is gone.
    exitMutex_.lock();
    exiting_.store(true);
    std::fflush(nullptr);
    GDBusConnection* connection = connection_.load();
    if (connection != nullptr && !g_dbus_connection_is_closed(connection)) {
        // Released before the replies go, so a call sent right after one starts a fresh service
        // instead of reaching this dying one.
        GError* error = nullptr;
        GVariant* released =
            g_dbus_connection_call_sync(connection, busService, busPath, busInterface, "ReleaseName",
                                        g_variant_new("(s)", names_.name.c_str()), G_VARIANT_TYPE("(u)"),
                                        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
        if (released != nullptr) {
            g_variant_unref(released);
        } else {
            report("could not release the name", error);
        }
        // What is still in flight is the calls that end the process: their stored replies go now.
        std::lock_guard lock(inFlightMutex_);
        for (const auto& [thread, call] : inFlight_) {
            if (call->reply) {
                call->send(connection, g_variant_new("(@a{sv})", variantFromDictionary(*call->reply)));
            }
        }
        g_dbus_connection_flush_sync(connection, nullptr, nullptr);
    }
    std::fflush(nullptr);
    ::_exit(0);
}

} // namespace action_service
