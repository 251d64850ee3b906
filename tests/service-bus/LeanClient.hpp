#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <systemd/sd-bus.h>

namespace service_bus {

// A caller that builds its messages in place with sd-bus: bodies of millions of elements cost it a moment
// and their own size, where GDBus would build an object per element.
class LeanClient {
public:
    using Body = std::function<int(sd_bus_message*)>;

    explicit LeanClient(const std::string& address) {
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 ||
            sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
            bus_ = sd_bus_flush_close_unref(bus_);
        }
    }
    ~LeanClient() { sd_bus_flush_close_unref(bus_); }
    LeanClient(const LeanClient&) = delete;
    LeanClient& operator=(const LeanClient&) = delete;

    bool connected() const { return bus_ != nullptr; }

    // Calls a member of the service's object and returns the error name, or "" for a reply. For a reply
    // whose first argument is a dictionary with an error dictionary, `code` gets the error's code.
    std::string call(const char* interface, const char* member, const Body& body, std::uint64_t timeoutUs,
                     std::int64_t* code = nullptr) {
        sd_bus_message* call = nullptr;
        if (sd_bus_message_new_method_call(bus_, &call, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH,
                                           interface, member) < 0) {
            return "could not make the call";
        }
        std::string outcome;
        if (body(call) < 0) {
            outcome = "could not build the body";
        } else {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            sd_bus_message* reply = nullptr;
            if (sd_bus_call(bus_, call, timeoutUs, &error, &reply) < 0) {
                outcome = error.name != nullptr ? error.name : "failed";
            } else if (code != nullptr) {
                *code = errorCode(reply);
            }
            sd_bus_error_free(&error);
            sd_bus_message_unref(reply);
        }
        sd_bus_message_unref(call);
        return outcome;
    }

    // A signal of the service's interface sent to `destination` alone.
    bool signal(const std::string& destination, const char* member, const Body& body) {
        sd_bus_message* signal = nullptr;
        bool sent = sd_bus_message_new_signal(bus_, &signal, QUORVEL_SERVICE_OBJECT_PATH,
                                              QUORVEL_SERVICE_INTERFACE, member) >= 0 &&
                    sd_bus_message_set_destination(signal, destination.c_str()) >= 0 && body(signal) >= 0 &&
                    sd_bus_send(bus_, signal, nullptr) >= 0 && sd_bus_flush(bus_) >= 0;
        sd_bus_message_unref(signal);
        return sent;
    }

private:
    // reply["error"]["code"], or -1.
    static std::int64_t errorCode(sd_bus_message* reply) {
        std::int64_t code = -1;
        if (sd_bus_message_enter_container(reply, 'a', "{sv}") <= 0) {
            return code;
        }
        while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
            const char* key = nullptr;
            sd_bus_message_read(reply, "s", &key);
            if (std::string(key) == "error" && sd_bus_message_enter_container(reply, 'v', "a{sv}") > 0 &&
                sd_bus_message_enter_container(reply, 'a', "{sv}") > 0) {
                while (sd_bus_message_enter_container(reply, 'e', "sv") > 0) {
                    const char* field = nullptr;
                    sd_bus_message_read(reply, "s", &field);
                    if (std::string(field) == "code") {
                        sd_bus_message_read(reply, "v", "x", &code);
                    } else {
                        sd_bus_message_skip(reply, "v");
                    }
                    sd_bus_message_exit_container(reply);
                }
                return code;
            }
            sd_bus_message_skip(reply, "v");
            sd_bus_message_exit_container(reply);
        }
        return code;
    }

    sd_bus* bus_ = nullptr;
};

// a{sv} of `count` entries with a one-character key and a byte: 16 bytes each on the wire.
inline int tinyEntries(sd_bus_message* message, std::size_t count) {
    int r = sd_bus_message_open_container(message, 'a', "{sv}");
    for (std::size_t i = 0; r >= 0 && i < count; ++i) {
        const std::uint8_t byte = 1;
        r = sd_bus_message_append(message, "{sv}", "u", "y", byte);
    }
    return r < 0 ? r : sd_bus_message_close_container(message);
}

} // namespace service_bus
