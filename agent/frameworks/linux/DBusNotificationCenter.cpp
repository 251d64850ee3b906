#include "DBusNotificationCenter.hpp"

#include "NotificationText.hpp"

#include <cstdio>
#include <gio/gio.h>
#include <string>

namespace agent {

namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";
constexpr int capabilitiesTimeoutMs = 5000;
constexpr int notifyTimeoutMs = 10000;

} // namespace

struct DBusNotificationCenter::State {
    GDBusConnection* connection = nullptr;
    guint actionSubscription = 0;
    guint closedSubscription = 0;
    std::weak_ptr<NotificationCenterDelegate> delegate;
    PostedNotifications posted;

    void print(const UserNotification& notification) const {
        const std::string line = notificationLine(notification.title, notification.text);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
};

namespace {

using State = DBusNotificationCenter::State;

// One notification on its way: its capability query, then its Notify call.
struct Pending {
    std::weak_ptr<State> state;
    UserNotification notification;
};

void onNotifyReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    auto state = pending->state.lock();
    GDBusMessage* reply =
        g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, nullptr);
    // The server's unique name goes with the id: ids are per server, and a later server reuses them.
    const gchar* server = reply != nullptr ? g_dbus_message_get_sender(reply) : nullptr;
    GVariant* body = reply != nullptr ? g_dbus_message_get_body(reply) : nullptr;
    const bool accepted = server != nullptr &&
                          g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_METHOD_RETURN &&
                          body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(u)"));
    if (state && !accepted) {
        state->print(pending->notification); // no server answered
    } else if (state) {
        guint32 id = 0;
        g_variant_get(body, "(u)", &id);
        state->posted.remember(server, id, std::move(pending->notification));
    }
    if (reply != nullptr) {
        g_object_unref(reply);
    }
}

void notify(std::unique_ptr<Pending> pending, GDBusConnection* connection, bool markup) {
    const auto& notification = pending->notification;
    const std::string name = notificationString(notification.title);
    const std::string summary = notificationString(notification.title);
    const std::string body = notificationBody(notification.text, markup);
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Open");
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    // A message rather than a call, so that the reply tells which connection gave the id.
    GDBusMessage* message = g_dbus_message_new_method_call(serverName, serverPath, serverInterface, "Notify");
    g_dbus_message_set_body(message,
                            g_variant_new("(susssasa{sv}i)", name.c_str(), guint32{0}, "", summary.c_str(),
                                          body.c_str(), &actions, &hints, gint32{-1}));
    g_dbus_connection_send_message_with_reply(connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                              notifyTimeoutMs, nullptr, nullptr, onNotifyReply,
                                              pending.release());
    g_object_unref(message);
}

void onCapabilities(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
    auto* connection = G_DBUS_CONNECTION(source);
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(connection, result, &error);
    bool markup = false;
    if (reply == nullptr) {
        g_error_free(error); // Notify decides whether a server is there
    } else {
        GVariant* capabilities = g_variant_get_child_value(reply, 0);
        gsize count = 0;
        const gchar** names = g_variant_get_strv(capabilities, &count);
        for (gsize i = 0; i < count; ++i) {
            markup = markup || g_strcmp0(names[i], "body-markup") == 0;
        }
        g_free(static_cast<gpointer>(names));
        g_variant_unref(capabilities);
        g_variant_unref(reply);
    }
    notify(std::move(pending), connection, markup);
}

void onActionInvoked(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
                     GVariant* parameters, gpointer data) {
    auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
    if (!state || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
        return;
    }
    guint32 id = 0;
    const gchar* action = nullptr;
    g_variant_get(parameters, "(u&s)", &id, &action);
    auto notification = state->posted.activated(sender, id, action);
    if (!notification) {
        return; // another client's id, another action, or a sender other than the server that gave the id
    }
    if (auto delegate = state->delegate.lock()) {
        delegate->didActivateNotification(*notification);
    }
}

void onClosed(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar*,
              GVariant* parameters, gpointer data) {
    auto state = static_cast<std::weak_ptr<State>*>(data)->lock();
    if (!state || sender == nullptr || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
        return;
    }
    guint32 id = 0;
    guint32 reason = 0;
    g_variant_get(parameters, "(uu)", &id, &reason);
    state->posted.forget(sender, id);
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

DBusNotificationCenter::DBusNotificationCenter(GDBusConnection* connection)
    : state_(std::make_shared<State>()) {
    if (connection == nullptr) {
        return;
    }
    state_->connection = G_DBUS_CONNECTION(g_object_ref(connection));
    // Subscribed before any Notify, so no activation can come before we listen.
    state_->actionSubscription = subscribe(connection, "ActionInvoked", onActionInvoked, state_);
    state_->closedSubscription = subscribe(connection, "NotificationClosed", onClosed, state_);
}

DBusNotificationCenter::~DBusNotificationCenter() {
    if (state_->connection != nullptr) {
        g_dbus_connection_signal_unsubscribe(state_->connection, state_->actionSubscription);
        g_dbus_connection_signal_unsubscribe(state_->connection, state_->closedSubscription);
        g_object_unref(state_->connection);
    }
}

void DBusNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) {
    state_->delegate = std::move(delegate);
}

void DBusNotificationCenter::deliver(const UserNotification& notification) {
    if (state_->connection == nullptr || g_dbus_connection_is_closed(state_->connection)) {
        state_->print(notification);
        return;
    }
    // The server's capabilities are asked each time: the server may change while the agent runs.
    g_dbus_connection_call(state_->connection, serverName, serverPath, serverInterface, "GetCapabilities",
                           nullptr, G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, capabilitiesTimeoutMs,
                           nullptr, onCapabilities, new Pending{state_, notification});
}

} // namespace agent
