#include "FakeNotificationServer.hpp"

#include <future>
#include <gio/gio.h>
#include <optional>
#include <stdexcept>

namespace agent_e2e {

namespace {

constexpr const char* introspection = R"(
<node>
  <interface name="org.freedesktop.Notifications">
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/><arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/>
    </method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>)";

constexpr const char* path = "/org/freedesktop/Notifications";
constexpr const char* interfaceName = "org.freedesktop.Notifications";

// A reply on its way: sent (and its call recorded) once the server's delay has passed.
struct Answer {
    FakeNotificationServer* server;
    GDBusMethodInvocation* invocation;
    GVariant* value;
    std::optional<NotifyCall> call;
    bool sent = false;
};

// An answer whose delay had not passed when the server ended is never sent.
void dropAnswer(gpointer data) {
    auto* answer = static_cast<Answer*>(data);
    if (!answer->sent) {
        g_object_unref(answer->invocation);
        g_variant_unref(g_variant_ref_sink(answer->value));
    }
    delete answer;
}

void send(Answer& answer) {
    auto& server = *answer.server;
    if (answer.call && server.behaviour().activateBeforeReply) {
        for (const auto id : {answer.call->id + 500, answer.call->id}) {
            g_dbus_connection_emit_signal(server.connection(), nullptr, path, interfaceName, "ActionInvoked",
                                          g_variant_new("(us)", id, "default"), nullptr);
        }
    }
    answer.sent = true;
    g_dbus_method_invocation_return_value(answer.invocation, answer.value);
    if (answer.call) {
        server.record(std::move(*answer.call));
    }
}

void answer(FakeNotificationServer& server, GDBusMethodInvocation* invocation, GVariant* value,
            std::optional<NotifyCall> call = std::nullopt) {
    auto* pending = new Answer{&server, invocation, value, std::move(call)};
    const auto delay = server.behaviour().replyDelay;
    if (delay.count() == 0) {
        send(*pending);
        delete pending;
        return;
    }
    GSource* timer = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(
        timer,
        [](gpointer data) {
            send(*static_cast<Answer*>(data));
            return G_SOURCE_REMOVE;
        },
        pending, dropAnswer);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
}

void onMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
    auto& server = *static_cast<FakeNotificationServer*>(data);
    const std::string name = method;
    if (name == "GetCapabilities" || name == "Notify") {
        if (name == "Notify") {
            server.countNotifyCall();
        }
        if (server.behaviour().silent) {
            if (name == "GetCapabilities") {
                server.countCapabilityQuery();
            }
            server.withhold(invocation);
            return;
        }
        if (!server.behaviour().errorName.empty()) {
            g_dbus_method_invocation_return_dbus_error(invocation, server.behaviour().errorName.c_str(),
                                                       "the fake server fails");
            return;
        }
    }
    if (name == "GetCapabilities") {
        server.countCapabilityQuery();
        GVariantBuilder names;
        g_variant_builder_init(&names, G_VARIANT_TYPE("as"));
        for (const auto& capability : server.capabilities()) {
            g_variant_builder_add(&names, "s", capability.c_str());
        }
        answer(server, invocation, g_variant_new("(as)", &names));
    } else if (name == "Notify") {
        NotifyCall call;
        const gchar* appName = nullptr;
        const gchar* icon = nullptr;
        const gchar* summary = nullptr;
        const gchar* body = nullptr;
        g_autoptr(GVariantIter) actions = nullptr;
        g_autoptr(GVariant) hints = nullptr;
        gint32 timeout = 0;
        g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &appName, &call.replacesId, &icon, &summary, &body,
                      &actions, &hints, &timeout);
        call.appName = appName;
        call.appIcon = icon;
        call.summary = summary;
        call.body = body;
        const gchar* action = nullptr;
        while (g_variant_iter_next(actions, "&s", &action)) {
            call.actions.emplace_back(action);
        }
        // A hint of another type is not the desktop entry: the lookup takes strings only.
        if (const gchar* entry = nullptr; g_variant_lookup(hints, "desktop-entry", "&s", &entry)) {
            call.desktopEntry = entry;
        }
        call.id = server.nextId();
        GVariant* value = g_variant_new("(u)", call.id);
        answer(server, invocation, value, std::move(call));
    } else if (name == "GetServerInformation") {
        answer(server, invocation, g_variant_new("(ssss)", "fake", "test", "1", "1.2"));
    } else {
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
}

const GDBusInterfaceVTable vtable = {onMethodCall, nullptr, nullptr, {}};

} // namespace

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress,
                                               std::vector<std::string> capabilities, bool ownServerName,
                                               ServerBehaviour behaviour)
    : capabilities_(std::move(capabilities))
    , behaviour_(behaviour) {
    std::promise<std::string> ready;
    auto started = ready.get_future();
    thread_ = std::thread([this, busAddress, ownServerName, &ready] {
        GMainContext* context = g_main_context_new();
        g_main_context_push_thread_default(context);
        loop_ = g_main_loop_new(context, FALSE);
        GError* error = nullptr;
        connection_ = g_dbus_connection_new_for_address_sync(
            busAddress.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        std::string problem;
        if (connection_ == nullptr) {
            problem = error->message;
            g_error_free(error);
        } else {
            GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
            registration_ = g_dbus_connection_register_object(connection_, path, node->interfaces[0], &vtable,
                                                              this, nullptr, nullptr);
            g_dbus_node_info_unref(node);
            if (ownServerName) {
                GVariant* reply = g_dbus_connection_call_sync(
                    connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "RequestName", g_variant_new("(su)", interfaceName, 4u), G_VARIANT_TYPE("(u)"),
                    G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
                if (reply == nullptr) {
                    problem = error->message;
                    g_error_free(error);
                } else {
                    g_variant_unref(reply);
                }
            }
        }
        ready.set_value(problem);
        if (connection_ != nullptr) {
            g_main_loop_run(loop_);
            for (auto* invocation : withheld_) {
                g_object_unref(invocation);
            }
            g_dbus_connection_unregister_object(connection_, registration_);
            g_dbus_connection_close_sync(connection_, nullptr, nullptr);
            g_object_unref(connection_);
        }
        g_main_loop_unref(loop_);
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
    });
    const std::string problem = started.get();
    if (!problem.empty()) {
        thread_.join();
        throw std::runtime_error("fake notification server: " + problem);
    }
}

FakeNotificationServer::~FakeNotificationServer() {
    stop();
}

void FakeNotificationServer::stop() {
    if (thread_.joinable()) {
        g_main_loop_quit(loop_);
        thread_.join();
    }
}

void FakeNotificationServer::countNotifyCall() {
    std::lock_guard lock(mutex_);
    ++notifyCalls_;
}

int FakeNotificationServer::notifyCalls() const {
    std::lock_guard lock(mutex_);
    return notifyCalls_;
}

void FakeNotificationServer::withhold(GDBusMethodInvocation* invocation) {
    withheld_.push_back(invocation); // the handler owns the invocation it is given
}

std::uint32_t FakeNotificationServer::nextId() {
    std::lock_guard lock(mutex_);
    return nextId_++;
}

void FakeNotificationServer::record(NotifyCall call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
}

void FakeNotificationServer::countCapabilityQuery() {
    std::lock_guard lock(mutex_);
    ++capabilityQueries_;
}

int FakeNotificationServer::capabilityQueries() const {
    std::lock_guard lock(mutex_);
    return capabilityQueries_;
}

std::vector<NotifyCall> FakeNotificationServer::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<std::string> FakeNotificationServer::bodies() const {
    std::vector<std::string> result;
    for (const auto& call : calls()) {
        result.push_back(call.body);
    }
    return result;
}

void FakeNotificationServer::invokeAction(std::uint32_t id, const std::string& actionKey) {
    g_dbus_connection_emit_signal(connection_, nullptr, path, interfaceName, "ActionInvoked",
                                  g_variant_new("(us)", id, actionKey.c_str()), nullptr);
    g_dbus_connection_flush_sync(connection_, nullptr, nullptr);
}

void FakeNotificationServer::expire(std::uint32_t id) {
    g_dbus_connection_emit_signal(connection_, nullptr, path, interfaceName, "NotificationClosed",
                                  g_variant_new("(uu)", id, 1u), nullptr);
}

bool FakeNotificationServer::nameHasOwner(const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        nullptr);
    if (reply == nullptr) {
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned != FALSE;
}

std::string FakeNotificationServer::nameOwner(const std::string& name) {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
        g_variant_new("(s)", name.c_str()), G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        nullptr);
    if (reply == nullptr) {
        return "";
    }
    const gchar* owner = nullptr;
    g_variant_get(reply, "(&s)", &owner);
    std::string result = owner;
    g_variant_unref(reply);
    return result;
}

void FakeNotificationServer::sync() {
    // Through the bus to this server's own thread, answered after every call before it: what reached the
    // server before is recorded.
    GVariant* reply = g_dbus_connection_call_sync(connection_, g_dbus_connection_get_unique_name(connection_),
                                                  path, interfaceName, "GetServerInformation", nullptr,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply != nullptr) {
        g_variant_unref(reply);
    }
}

} // namespace agent_e2e
