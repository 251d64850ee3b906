#include "DBusNotificationCenter.hpp"

#include "NotificationText.hpp"
#include "ShownText.hpp"

#include <cstdio>
#include <deque>
#include <functional>
#include <gio/gio.h>
#include <optional>
#include <string>

namespace agent {

namespace {

constexpr const char* serverName = "org.freedesktop.Notifications";
constexpr const char* serverPath = "/org/freedesktop/Notifications";
constexpr const char* serverInterface = "org.freedesktop.Notifications";
constexpr int callTimeoutMs = 10000;
// Well below the bus's limit of pending replies per connection, which a burst of changes would reach.
constexpr int maxInFlight = 8;
constexpr int maxRetries = 2;
constexpr guint retryDelayMs = 200;

struct Outgoing {
    UserNotification notification;
    int failures = 0;
};

} // namespace

struct DBusNotificationCenter::State {
    GDBusConnection* connection = nullptr;
    guint actionSubscription = 0;
    guint closedSubscription = 0;
    guint serverWatch = 0;
    std::weak_ptr<NotificationCenterDelegate> delegate;
    PostedNotifications posted;
    // The unique name of the server whose capabilities are known, and whether it reads body markup.
    std::string server;
    std::optional<bool> markup;
    bool askingCapabilities = false;
    int capabilityFailures = 0;
    std::deque<Outgoing> waiting;
    int inFlight = 0; // Notify calls sent, or failed and about to be sent again

    bool connected() const { return connection != nullptr && !g_dbus_connection_is_closed(connection); }
    bool busy() const { return askingCapabilities || inFlight > 0 || !waiting.empty(); }

    void print(const UserNotification& notification) const {
        const std::string line = notificationLine(notification.title, notification.text);
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    void printWaiting() {
        for (const auto& outgoing : waiting) {
            print(outgoing.notification);
        }
        waiting.clear();
    }
    void activate(const UserNotification& notification) const {
        if (auto target = delegate.lock()) {
            target->didActivateNotification(notification);
        }
    }
    void serverChanged(const std::string& owner) {
        if (owner != server) {
            server = owner;
            markup.reset(); // asked again before the next Notify
        }
    }
};

namespace {

using State = DBusNotificationCenter::State;

// What came back for one call: a method return and who sent it, or an error.
struct Answer {
    GDBusMessage* reply = nullptr;
    std::string sender;
    std::string error;
    bool noServer = false;

    Answer(GObject* source, GAsyncResult* result) {
        GError* failure = nullptr;
        GDBusMessage* message =
            g_dbus_connection_send_message_with_reply_finish(G_DBUS_CONNECTION(source), result, &failure);
        if (message == nullptr) {
            error = failure->message;
            noServer = g_error_matches(failure, G_IO_ERROR, G_IO_ERROR_CLOSED); // the bus went away
            g_error_free(failure);
        } else if (g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_ERROR) {
            const gchar* name = g_dbus_message_get_error_name(message);
            error = name != nullptr ? name : "error";
            noServer = meansNoServer(error);
            g_object_unref(message);
        } else {
            const gchar* from = g_dbus_message_get_sender(message);
            sender = from != nullptr ? from : "";
            reply = message;
        }
    }
    ~Answer() {
        if (reply != nullptr) {
            g_object_unref(reply);
        }
    }
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;

    GVariant* body(const char* type) const {
        GVariant* value = reply != nullptr ? g_dbus_message_get_body(reply) : nullptr;
        return value != nullptr && g_variant_is_of_type(value, G_VARIANT_TYPE(type)) ? value : nullptr;
    }
};

// A message rather than a plain call, so that the reply tells which connection answered.
void call(GDBusConnection* connection, const char* method, GVariant* parameters, GAsyncReadyCallback done,
          gpointer data) {
    GDBusMessage* message = g_dbus_message_new_method_call(serverName, serverPath, serverInterface, method);
    if (parameters != nullptr) {
        g_dbus_message_set_body(message, parameters);
    }
    g_dbus_connection_send_message_with_reply(connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE,
                                              callTimeoutMs, nullptr, nullptr, done, data);
    g_object_unref(message);
}

void after(guint milliseconds, std::function<void()> closure) {
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, milliseconds,
        [](gpointer data) {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(closure)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void pump(const std::shared_ptr<State>& state);

struct Sending {
    std::weak_ptr<State> state;
    Outgoing outgoing;
};

void onNotifyReply(GObject* source, GAsyncResult* result, gpointer data);

void send(const std::shared_ptr<State>& state, Outgoing outgoing) {
    const auto& notification = outgoing.notification;
    const std::string body = *state->markup ? markupEscaped(notification.text) : notification.text;
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&actions, "s", "default");
    g_variant_builder_add(&actions, "s", "Open");
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    GVariant* parameters =
        g_variant_new("(susssasa{sv}i)", notification.title.c_str(), guint32{0}, "",
                      notification.title.c_str(), body.c_str(), &actions, &hints, gint32{-1});
    call(state->connection, "Notify", parameters, onNotifyReply, new Sending{state, std::move(outgoing)});
}

void onNotifyReply(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Sending> sending(static_cast<Sending*>(data));
    const Answer answer(source, result);
    auto state = sending->state.lock();
    if (!state) {
        return;
    }
    auto& outgoing = sending->outgoing;
    if (GVariant* body = answer.body("(u)")) {
        guint32 id = 0;
        g_variant_get(body, "(u)", &id);
        // The server's unique name goes with the id: ids are per server, and a later server reuses them.
        if (auto held = state->posted.remember(answer.sender, id, std::move(outgoing.notification))) {
            state->activate(*held);
        }
    } else if (answer.noServer) {
        state->print(outgoing.notification);
        state->serverChanged("");
    } else if (outgoing.failures < maxRetries) {
        // Still in flight: sent again after a pause, in its turn.
        ++outgoing.failures;
        const auto delay = retryDelayMs * static_cast<guint>(outgoing.failures);
        after(delay, [weak = sending->state, again = std::move(outgoing)]() mutable {
            if (auto alive = weak.lock()) {
                if (alive->connected() && alive->markup) {
                    send(alive, std::move(again));
                } else {
                    --alive->inFlight;
                    alive->waiting.push_front(std::move(again));
                    pump(alive);
                }
            }
        });
        return;
    } else {
        const std::string line = "Quorvel: a notification was not shown: " + shownText(answer.error) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    --state->inFlight;
    if (state->inFlight == 0) {
        state->posted.dropHeld();
    }
    pump(state);
}

void askCapabilities(const std::shared_ptr<State>& state);

void onCapabilities(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::weak_ptr<State>> weak(static_cast<std::weak_ptr<State>*>(data));
    const Answer answer(source, result);
    auto state = weak->lock();
    if (!state) {
        return;
    }
    state->askingCapabilities = false;
    if (GVariant* body = answer.body("(as)")) {
        bool markup = false;
        GVariant* names = g_variant_get_child_value(body, 0);
        GVariantIter iter;
        g_variant_iter_init(&iter, names);
        const gchar* name = nullptr;
        while (g_variant_iter_next(&iter, "&s", &name)) {
            markup = markup || g_strcmp0(name, "body-markup") == 0;
        }
        g_variant_unref(names);
        state->capabilityFailures = 0;
        state->server = answer.sender;
        state->markup = markup;
    } else if (answer.noServer) {
        state->capabilityFailures = 0;
        state->printWaiting();
        return;
    } else if (state->capabilityFailures < maxRetries) {
        ++state->capabilityFailures;
        state->askingCapabilities = true;
        after(retryDelayMs * static_cast<guint>(state->capabilityFailures), [weak = *weak] {
            if (auto alive = weak.lock()) {
                alive->askingCapabilities = false;
                pump(alive);
            }
        });
        return;
    } else {
        // A server that does not tell: plain text, which every server shows.
        state->capabilityFailures = 0;
        state->markup = false;
    }
    pump(state);
}

void askCapabilities(const std::shared_ptr<State>& state) {
    state->askingCapabilities = true;
    call(state->connection, "GetCapabilities", nullptr, onCapabilities, new std::weak_ptr<State>(state));
}

void pump(const std::shared_ptr<State>& state) {
    if (state->waiting.empty()) {
        return;
    }
    if (!state->connected()) {
        state->printWaiting();
        return;
    }
    if (!state->markup) {
        if (!state->askingCapabilities) {
            askCapabilities(state);
        }
        return;
    }
    while (state->inFlight < maxInFlight && !state->waiting.empty()) {
        Outgoing outgoing = std::move(state->waiting.front());
        state->waiting.pop_front();
        ++state->inFlight;
        send(state, std::move(outgoing));
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
    if (auto notification = state->posted.activated(sender, id, action)) {
        state->activate(*notification);
    } else if (g_strcmp0(action, "default") == 0 && state->inFlight > 0 &&
               (state->server.empty() || state->server == sender)) {
        // Maybe ours, with its id still on the way to us: decided when the replies have come.
        state->posted.hold(sender, id);
    }
    // Otherwise another client's id, another action, or a sender other than the server that gave the id.
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
    state->posted.forget(sender, id);
}

void onServerAppeared(GDBusConnection*, const gchar*, const gchar* owner, gpointer data) {
    if (auto state = lockState(data)) {
        state->serverChanged(owner);
    }
}

void onServerVanished(GDBusConnection*, const gchar*, gpointer data) {
    if (auto state = lockState(data)) {
        state->serverChanged("");
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

DBusNotificationCenter::DBusNotificationCenter(GDBusConnection* connection)
    : state_(std::make_shared<State>()) {
    if (connection == nullptr) {
        return;
    }
    state_->connection = G_DBUS_CONNECTION(g_object_ref(connection));
    // Subscribed before any Notify, so no activation can come before we listen.
    state_->actionSubscription = subscribe(connection, "ActionInvoked", onActionInvoked, state_);
    state_->closedSubscription = subscribe(connection, "NotificationClosed", onClosed, state_);
    // A new server may read markup differently: its capabilities are asked again.
    state_->serverWatch = g_bus_watch_name_on_connection(
        connection, serverName, G_BUS_NAME_WATCHER_FLAGS_NONE, onServerAppeared, onServerVanished,
        new std::weak_ptr<State>(state_), deleteWeakState);
}

DBusNotificationCenter::~DBusNotificationCenter() {
    if (state_->connection != nullptr) {
        g_bus_unwatch_name(state_->serverWatch);
        g_dbus_connection_signal_unsubscribe(state_->connection, state_->actionSubscription);
        g_dbus_connection_signal_unsubscribe(state_->connection, state_->closedSubscription);
        g_object_unref(state_->connection);
    }
}

void DBusNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) {
    state_->delegate = std::move(delegate);
}

void DBusNotificationCenter::deliver(const UserNotification& notification) {
    if (!state_->connected()) {
        state_->print(notification);
        return;
    }
    state_->waiting.push_back({notification, 0});
    pump(state_);
}

void DBusNotificationCenter::finish(std::chrono::milliseconds deadline) {
    pump(state_);
    bool late = false;
    GSource* timeout = g_timeout_source_new(static_cast<guint>(deadline.count()));
    g_source_set_callback(
        timeout,
        [](gpointer data) {
            *static_cast<bool*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        &late, nullptr);
    g_source_attach(timeout, nullptr);
    while (state_->busy() && !late) {
        g_main_context_iteration(nullptr, TRUE);
    }
    g_source_destroy(timeout);
    g_source_unref(timeout);
    if (state_->connection != nullptr) {
        g_dbus_connection_flush_sync(state_->connection, nullptr, nullptr);
    }
}

} // namespace agent
