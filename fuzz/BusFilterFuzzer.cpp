// Bytes as the bus socket might give them, through the filter the service reads its connection by, fed in
// pieces whose sizes the first byte picks. Nothing read or written out of bounds, no allocation past the
// protocol's largest message, never more bytes handed on than came in, and a whole RunAction call that
// the filter rewrote rewrites to itself again. And the rewrite changes no request: wherever GDBus reads the
// original call, it reads the rewritten one too, and the service builds the same request from both (a
// message GDBus cannot read would end the service's connection, and every caller's call with it).
#include "BusMessageFilter.hpp"
#include "ReadThroughFilter.hpp"
#include "VariantValue.hpp"

#include <cstdint>
#include <cstdlib>
#include <gio/gio.h>
#include <optional>
#include <vector>

namespace {

using namespace action_service;

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The request the service would build from a whole message, if GDBus reads it.
std::optional<Dictionary> requestIn(std::span<const std::uint8_t> message) {
    GDBusMessage* parsed = g_dbus_message_new_from_blob(const_cast<guchar*>(message.data()), message.size(),
                                                        G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    if (parsed == nullptr) {
        return std::nullopt;
    }
    std::optional<Dictionary> request;
    GVariant* body = g_dbus_message_get_body(parsed);
    if (body != nullptr && g_variant_is_of_type(body, G_VARIANT_TYPE("(a{sv})"))) {
        GVariant* entries = g_variant_get_child_value(body, 0);
        request = requestFromVariant(entries);
        g_variant_unref(entries);
    } else {
        request = Dictionary{};
    }
    g_object_unref(parsed);
    return request;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t piece = 1 + data[0] % 64;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

    const auto out = readThroughFilter(stream, piece);
    require(out && out->size() <= stream.size());

    // The whole input as one message.
    if (const auto frame = bus_message::frameOf(stream); frame && frame->total == stream.size()) {
        std::vector<std::uint8_t> message(stream.begin(), stream.end());
        const bool runAction = bus_message::isRunActionCall(std::span(message).first(frame->header));
        const std::size_t kept = bus_message::keepReadEntries(message, *frame);
        require(kept <= message.size());
        if (runAction && kept < message.size()) {
            message.resize(kept);
            if (const auto original = requestIn(stream)) {
                const auto rewritten = requestIn(message);
                require(rewritten && *rewritten == *original);
            }
            const auto again = bus_message::frameOf(message);
            require(again && again->total == kept && again->header == frame->header);
            require(bus_message::keepReadEntries(message, *again) == kept);
        }
    }
    return 0;
}
