#pragma once

#include <gio/gio.h>
#include <stdexcept>
#include <string>
#include <utility>

namespace service_bus {

constexpr int replyTimeout = 20000; // a reply is due: generous, for sanitizer builds
constexpr int silenceTimeout = 700; // no reply is due: the call must time out

// The outcome of one method call: the reply's only argument, or the error.
class Result {
public:
    Result() = default;
    Result(GVariant* reply, GError* error)
        : error_(error) {
        if (reply != nullptr) {
            value_ = g_variant_get_child_value(reply, 0);
            g_variant_unref(reply);
        }
    }
    Result(Result&& other) noexcept
        : value_(std::exchange(other.value_, nullptr))
        , error_(std::exchange(other.error_, nullptr)) {}
    Result& operator=(Result&& other) noexcept {
        std::swap(value_, other.value_);
        std::swap(error_, other.error_);
        return *this;
    }
    ~Result() {
        if (value_ != nullptr) {
            g_variant_unref(value_);
        }
        if (error_ != nullptr) {
            g_error_free(error_);
        }
    }

    GVariant* value() const { return value_; }
    bool answered() const { return value_ != nullptr; }
    bool timedOut() const { return g_error_matches(error_, G_IO_ERROR, G_IO_ERROR_TIMED_OUT); }
    std::string remoteError() const {
        if (error_ == nullptr || !g_dbus_error_is_remote_error(error_)) {
            return "";
        }
        gchar* name = g_dbus_error_get_remote_error(error_);
        std::string text = name;
        g_free(name);
        return text;
    }
    std::string errorMessage() const { return error_ != nullptr ? error_->message : ""; }
    // The value as GVariant text with its types, e.g. {'error': <{'code': <int64 3>, ...}>}.
    std::string text() const {
        if (value_ == nullptr) {
            return std::string("no reply: ") + (error_ != nullptr ? error_->message : "?");
        }
        gchar* printed = g_variant_print(value_, TRUE);
        std::string result = printed;
        g_free(printed);
        return result;
    }

private:
    GVariant* value_ = nullptr;
    GError* error_ = nullptr;
};

// A request from GVariant text, e.g. "{'kind': <7>, 'deletePath': <'/x'>}".
inline GVariant* request(const std::string& text) {
    GError* error = nullptr;
    GVariant* parsed = g_variant_parse(G_VARIANT_TYPE_VARDICT, text.c_str(), nullptr, nullptr, &error);
    if (parsed == nullptr) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("bad request text " + text + ": " + message);
    }
    return parsed;
}

inline std::string quoted(const std::string& text) {
    gchar* printed = g_variant_print(g_variant_new_string(text.c_str()), FALSE);
    std::string result = printed;
    g_free(printed);
    return result;
}

inline Result callService(GDBusConnection* connection, const char* method, GVariant* parameters,
                          const GVariantType* replyType, int timeout) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH, QUORVEL_SERVICE_INTERFACE, method,
        parameters, replyType, G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, &error);
    return Result(reply, error);
}

// RunAction with a request (floating, taken).
inline Result runAction(GDBusConnection* connection, GVariant* request, int timeout = replyTimeout) {
    return callService(connection, "RunAction", g_variant_new_tuple(&request, 1), G_VARIANT_TYPE("(a{sv})"),
                       timeout);
}

inline Result listenerEndpoint(GDBusConnection* connection, int timeout = replyTimeout) {
    return callService(connection, "ListenerEndpoint", nullptr, G_VARIANT_TYPE("(as)"), timeout);
}

// Whether the service answered a Peer.Ping on this connection: it has read everything sent before it.
inline bool pinged(GDBusConnection* connection) {
    g_autoptr(GVariant) pong = g_dbus_connection_call_sync(
        connection, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH, "org.freedesktop.DBus.Peer",
        "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, replyTimeout, nullptr, nullptr);
    return pong != nullptr;
}

} // namespace service_bus
