#include "DBusNotificationCenter.hpp"

#include "GObjectPtr.hpp"
#include "NotificationText.hpp"
#include "TextOutput.hpp"
#include "frameworks/NotificationDelivery.hpp"
#include "frameworks/NotificationServer.hpp"

#include <cstdio>
#include <gio/gio.h>
#include <string>

namespace agent {

namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";

} // namespace

struct DBusNotificationCenter::State final : NotificationServer, std::enable_shared_from_this<State> {
    State(GDBusConnection* bus, Timer& timer, std::string application)
        : connection(bus != nullptr ? G_DBUS_CONNECTION(g_object_ref(bus)) : nullptr)
        , applicationId(std::move(application))
        , delivery(*this, timer) {}
    ~State() override;
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void listen();

    bool reachable() const override {
        return connection != nullptr && !g_dbus_connection_is_closed(connection.get());
    }
    void getCapabilities(Call call, std::chrono::milliseconds timeout) override;
    void notify(Call call, const UserNotification& notification, bool bodyMarkup,
                std::chrono::milliseconds timeout) override;
    void printLine(const std::string& line) override { common::writeAll(stdout, line); }
    void logLine(const std::string& line) override { common::writeAll(stderr, line); }

    void send(const char* method, GVariant* parameters, const char* replyType, Call call,
              std::chrono::milliseconds timeout);

    GObjectPtr<GDBusConnection> connection;
    std::string applicationId;
    NotificationDelivery delivery;
    guint actionSubscription = 0;
    guint closedSubscription = 0;
    guint serverWatch = 0;
};

namespace {

using State = DBusNotificationCenter::State;

// One call on its way.
struct Pending {
    std::weak_ptr<State> state;
    NotificationServer::Call call;
    const char* replyType;
};

ServerReply translate(GDBusMessage* message, const GError* failure, const char* replyType) {
    ServerReply reply;
    if (message == nullptr) {
        reply.message = failure->message;
        if (g_error_matches(failure, G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
            reply.outcome = ServerReply::Outcome::timedOut;
        } else if (g_error_matches(failure, G_IO_ERROR, G_IO_ERROR_CLOSED)) {
            reply.outcome = ServerReply::Outcome::disconnected;
        } else {
            reply.outcome = ServerReply::Outcome::error;
        }
        return reply;
    }
    GVariant* body = g_dbus_message_get_body(message);
    if (g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_ERROR) {
        reply.outcome = ServerReply::Outcome::error;
        const gchar* name = g_dbus_message_get_error_name(message);
        reply.errorName = name != nullptr ? name : "";
        if (body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(s)"))) {
            const gchar* text = nullptr;
            g_variant_get(body, "(&s)", &text);
            reply.message = text;
        }
        return reply;
    }
    if (body == nullptr || !g_variant_is_of_type(body, G_VARIANT_TYPE(replyType))) {
        reply.outcome = ServerReply::Outcome::error;
        reply.message = std::string("a reply that is not ") + replyType;
        return reply;
    }
    const gchar* sender = g_dbus_message_get_sender(message);
    reply.sender = sender != nullptr ? sender : "";
    if (g_variant_is_of_type(body, G_VARIANT_TYPE("(u)"))) {
        g_variant_get(body, "(u)", &reply.id);
    } else {
        g_autoptr(GVariantIter) names = nullptr;
        g_variant_get(body, "(as)", &names);
        const gchar* name = nullptr;
        while (g_variant_iter_next(names, "&s", &name)) {
            reply.capabilities.emplace_back(name);
        }
    }
    return reply;
}

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    g_autoptr(GError) failure = nullptr;
    g_autoptr(GDBusMessage) message =
        g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, &failure);
    const ServerReply reply = translate(message, failure, pending->replyType);
    if (auto state = pending->state.lock()) {
        state->delivery.answered(pending->call, reply);
    }
}

std::shared_ptr<State> lockState(gpointer data) {
    return static_cast<std::weak_ptr<State>*>(data)->lock();
}

void onActionInvoked(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer data) {
    auto state = lockState(data);
    if (!state || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        return;
    }
    guint32 id = 0;
    const gchar* action = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &action);
    state->delivery.actionInvoked(sender, id, action);
}

void onClosed(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer data) {
    auto state = lockState(data);
    if (!state || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        return;
    }
    guint32 id = 0;
    guint32 reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    state->delivery.notificationClosed(sender, id);
}

void onServerAppeared(GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
    if (auto state = lockState(data)) {
        state->delivery.ownerChanged(owner);
    }
}

void onServerVanished(GDBusConnection*, const gchar*, gpointer data) {
    if (auto state = lockState(data)) {
        state->delivery.ownerChanged("");
    }
}

void deleteWeakState(gpointer data) {
    delete static_cast<std::weak_ptr<State>*>(data);
}

guint subscribe(GDBusConnection* connection, const char* member, GDBusSignalCallback callback,
                const std::shared_ptr<State>& state) {
    return g_dbus_connection_signal_subscribe(connection, serverName, serverInterface, member, serverPath,
                                              nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback,
                                              new std::weak_ptr<State>(state), deleteWeakState);
}

} // namespace

void State::listen() {
    if (connection == nullptr) {
        return;
    }
    // Subscribed before any Notify, so no activation can come before we listen.
    actionSubscription = subscribe(connection.get(), "ActionInvoked", onActionInvoked, shared_from_this());
    closedSubscription = subscribe(connection.get(), "NotificationClosed", onClosed, shared_from_this());
    serverWatch = g_bus_watch_name_on_connection(
        connection.get(), serverName, G_BUS_NAME_WATCHER_FLAGS_NONE, onServerAppeared, onServerVanished,
        new std::weak_ptr<State>(shared_from_this()), deleteWeakState);
}

State::~State() {
    if (connection != nullptr) {
        g_bus_unwatch_name(serverWatch);
        g_dbus_connection_signal_unsubscribe(connection.get(), actionSubscription);
        g_dbus_connection_signal_unsubscribe(connection.get(), closedSubscription);
    }
}

// A message rather than a plain call, so that the reply tells which connection answered.
void State::send(const char* method, GVariant* parameters, const char* replyType, Call call,
                 std::chrono::milliseconds timeout) {
    g_autoptr(GDBusMessage) message =
        g_dbus_message_new_method_call(serverName, serverPath, serverInterface, method);
    if (parameters != nullptr) {
        g_dbus_message_set_body(message, parameters);
    }
    g_dbus_connection_send_message_with_reply(connection.get(), message, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                              static_cast<gint>(timeout.count()), nullptr, nullptr, onReply,
                                              new Pending{weak_from_this(), call, replyType});
}

void State::getCapabilities(Call call, std::chrono::milliseconds timeout) {
    send("GetCapabilities", nullptr, "(as)", call, timeout);
}

void State::notify(Call call, const UserNotification& notification, bool bodyMarkup,
                   std::chrono::milliseconds timeout) {
    const std::string body = bodyMarkup ? markupEscaped(notification.text) : notification.text;
    g_auto(GVariantBuilder) actions = G_VARIANT_BUILDER_INIT(G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Open");
    g_auto(GVariantBuilder) hints = G_VARIANT_BUILDER_INIT(G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string(applicationId.c_str()));
    GVariant* parameters =
        g_variant_new("(susssasa{sv}i)", notification.title.c_str(), guint32{0}, applicationId.c_str(),
                      notification.title.c_str(), body.c_str(), &actions, &hints, gint32{-1});
    send("Notify", parameters, "(u)", call, timeout);
}

DBusNotificationCenter::DBusNotificationCenter(GDBusConnection* connection, Timer& timer,
                                               std::string applicationId)
    : state_(std::make_shared<State>(connection, timer, std::move(applicationId))) {
    state_->listen();
}

DBusNotificationCenter::~DBusNotificationCenter() = default;

void DBusNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) {
    state_->delivery.setDelegate(std::move(delegate));
}

void DBusNotificationCenter::deliver(const UserNotification& notification) {
    state_->delivery.deliver(notification);
}

void DBusNotificationCenter::finish(std::chrono::milliseconds deadline) {
    bool late = false;
    g_autoptr(GSource) timeout = g_timeout_source_new(static_cast<guint>(deadline.count()));
    g_source_set_callback(
        timeout,
        [](gpointer data) {
            *static_cast<bool*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        &late, nullptr);
    g_source_attach(timeout, nullptr);
    while (state_->delivery.busy() && !late) {
        g_main_context_iteration(nullptr, TRUE);
    }
    g_source_destroy(timeout);
    state_->delivery.abandon();
    if (state_->connection != nullptr) {
        g_dbus_connection_flush_sync(state_->connection.get(), nullptr, nullptr);
    }
}

} // namespace agent
