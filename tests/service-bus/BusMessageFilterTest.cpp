// RunAction calls as the bus socket carries them, rewritten to what a request reads; every other byte
// left as it is.
#include "BusMessageFilter.hpp"

#include "ReadThroughFilter.hpp"
#include "VariantValue.hpp"

#include <algorithm>
#include <cstdint>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace action_service {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A message as GDBus puts it on the wire.
Bytes wire(GDBusMessage* message, GDBusMessageByteOrder order) {
    g_dbus_message_set_byte_order(message, order);
    g_dbus_message_set_serial(message, 4242);
    gsize size = 0;
    GError* error = nullptr;
    guchar* blob = g_dbus_message_to_blob(message, &size, G_DBUS_CAPABILITY_FLAGS_NONE, &error);
    EXPECT_NE(blob, nullptr) << (error != nullptr ? error->message : "");
    Bytes bytes(blob, blob + size);
    g_free(blob);
    g_object_unref(message);
    return bytes;
}

Bytes runActionCall(const char* request, GDBusMessageByteOrder order, const char* member = "RunAction") {
    GDBusMessage* message =
        g_dbus_message_new_method_call("app.Service", "/app/Service", "app.Remote", member);
    g_dbus_message_set_body(message, g_variant_new_parsed(request));
    return wire(message, order);
}

// Runs the rewrite as the stream filter does; the result as GDBus reads it.
GDBusMessage* rewritten(Bytes& bytes) {
    const auto frame = bus_message::frameOf(bytes);
    EXPECT_TRUE(frame);
    EXPECT_TRUE(bus_message::isRunActionCall(std::span(bytes).first(frame->header)));
    bytes.resize(bus_message::keepReadEntries(bytes, *frame));
    GError* error = nullptr;
    GDBusMessage* message =
        g_dbus_message_new_from_blob(bytes.data(), bytes.size(), G_DBUS_CAPABILITY_FLAGS_NONE, &error);
    EXPECT_NE(message, nullptr) << (error != nullptr ? error->message : "");
    return message;
}

std::string bodyText(GDBusMessage* message) {
    gchar* text = g_variant_print(g_dbus_message_get_body(message), FALSE);
    std::string result = text;
    g_free(text);
    return result;
}

Dictionary requestOf(GDBusMessage* message) {
    GVariant* dictionary = g_variant_get_child_value(g_dbus_message_get_body(message), 0);
    Dictionary request = requestFromVariant(dictionary);
    g_variant_unref(dictionary);
    return request;
}

TEST(BusMessageFilter, KeepsExactlyWhatARequestReadsInEitherByteOrder) {
    // Known keys in the types they are read as (some in variants), the same in other types, unknown keys
    // of every shape, and repeated keys whose last readable entry counts.
    const char* request =
        "({'kind': <int64 7>, 'numbers': <[int64 1, 2, 3]>, 'path': <<<'/a/b'>>>, 'label': <int32 5>,"
        " 'kind': <uint64 18446744073709551615>, 'deletePath': <'/first'>, 'deletePath': <'/second'>,"
        " 'authData': <[byte 1, 2]>, 'authData': <['not', 'data']>, 'privileged': <true>,"
        " 'privileged': <1.5>, 'nested': <{'path': <{'path': <'/deep'>}>}>, 'testPath': <objectpath '/o'>,"
        " 'plistString': <('a', 1)>, 'testOutputPath': <@as []>, 'u': <[<byte 1>, <'x'>]>},)";
    for (auto order : {G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN, G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN}) {
        SCOPED_TRACE(order == G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN ? "little endian" : "big endian");
        Bytes original = runActionCall(request, order);
        GDBusMessage* before = g_dbus_message_new_from_blob(original.data(), original.size(),
                                                            G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
        ASSERT_NE(before, nullptr);
        Bytes bytes = original;
        GDBusMessage* after = rewritten(bytes);
        ASSERT_NE(after, nullptr);
        EXPECT_LT(bytes.size(), original.size());
        EXPECT_EQ(bodyText(after), "({'kind': <int64 7>, 'path': <<<'/a/b'>>>, 'deletePath': <'/second'>, "
                                   "'authData': <[byte 0x01, 0x02]>, 'privileged': <true>, "
                                   "'testPath': <objectpath '/o'>},)");
        EXPECT_EQ(requestOf(after), requestOf(before));
        EXPECT_EQ(g_dbus_message_get_serial(after), 4242u);
        EXPECT_EQ(g_dbus_message_get_byte_order(after), order);
        EXPECT_STREQ(g_dbus_message_get_path(after), "/app/Service");
        EXPECT_STREQ(g_dbus_message_get_destination(after), "app.Service");
        // The header is the same to the byte.
        const auto frame = bus_message::frameOf(original);
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + 4, bytes.begin()));
        EXPECT_TRUE(std::equal(original.begin() + 8, original.begin() + static_cast<long>(frame->header),
                               bytes.begin() + 8));
        g_object_unref(before);
        g_object_unref(after);

        // Nothing to drop: nothing changes. Everything to drop: the empty dictionary.
        Bytes kept = runActionCall("({'kind': <int64 7>, 'label': <'x'>},)", order);
        const Bytes keptBefore = kept;
        g_object_unref(rewritten(kept));
        EXPECT_EQ(kept, keptBefore);
        Bytes none = runActionCall("({'x': <'x'>, 'kind': <'7'>},)", order);
        GDBusMessage* empty = rewritten(none);
        EXPECT_EQ(bodyText(empty), "({},)");
        g_object_unref(empty);

        // Other calls are not RunAction's.
        for (const Bytes& other :
             {runActionCall("({'x': <'x'>},)", order, "Other"), runActionCall("({'x': 'x'},)", order),
              runActionCall("(@a{sv} {}, 1)", order),
              wire(g_dbus_message_new_signal("/p", "a.b", "RunAction"), order)}) {
            const auto otherFrame = bus_message::frameOf(other);
            ASSERT_TRUE(otherFrame);
            EXPECT_EQ(otherFrame->total, other.size());
            EXPECT_FALSE(bus_message::isRunActionCall(std::span(other).first(otherFrame->header)));
        }

        // GDBus reads a text only up to its first nul, whatever its length says: a key or member with
        // one inside is judged by what comes before it, as the service will read it.
        Bytes nul = runActionCall("({'pathXjunk': <'/p'>, 'x': <1>},)", order, "RunActionXjunk");
        std::replace(nul.begin(), nul.end(), std::uint8_t{'X'}, std::uint8_t{0});
        const Bytes nulSent = nul;
        const auto nulFrame = bus_message::frameOf(nul);
        ASSERT_TRUE(nulFrame);
        EXPECT_TRUE(bus_message::isRunActionCall(std::span(nul).first(nulFrame->header)));
        nul.resize(bus_message::keepReadEntries(nul, *nulFrame));
        EXPECT_LT(nul.size(), nulSent.size());
        const std::string nulBody(nul.begin() + static_cast<long>(nulFrame->header), nul.end());
        EXPECT_NE(nulBody.find(std::string("path\0junk", 9)), std::string::npos);
        // Where this GDBus takes such texts at all, it builds the same request from both.
        if (GDBusMessage* read = g_dbus_message_new_from_blob(
                const_cast<guchar*>(nulSent.data()), nulSent.size(), G_DBUS_CAPABILITY_FLAGS_NONE, nullptr)) {
            GDBusMessage* readAfter =
                g_dbus_message_new_from_blob(nul.data(), nul.size(), G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
            ASSERT_NE(readAfter, nullptr);
            EXPECT_EQ(requestOf(read).size(), 1u);
            EXPECT_EQ(requestOf(readAfter), requestOf(read));
            g_object_unref(read);
            g_object_unref(readAfter);
        }
    }
}

TEST(BusMessageFilter, LeavesHostileOrTruncatedBytesAsTheyAre) {
    const Bytes valid = runActionCall("({'kind': <int64 7>, 'unknown': <[<'a'>, <'b'>]>, 'path': <'/p'>},)",
                                      G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN);
    const auto frame = *bus_message::frameOf(valid);

    // No frame: an unknown byte order, header fields or a message beyond the protocol's bounds.
    Bytes bad = valid;
    bad[0] = 'x';
    EXPECT_FALSE(bus_message::frameOf(bad));
    bad = valid;
    bad[12] = 0x04; // header fields of 64 MiB and more
    EXPECT_FALSE(bus_message::frameOf(bad));
    bad = valid;
    bad[4] = 0x08; // a body of 128 MiB and more
    EXPECT_FALSE(bus_message::frameOf(bad));
    EXPECT_FALSE(bus_message::frameOf(std::span(valid).first(15)));

    // Truncated: no header, no rewrite.
    for (std::size_t size = 16; size < valid.size(); ++size) {
        Bytes prefix(valid.begin(), valid.begin() + static_cast<long>(size));
        EXPECT_FALSE(size < frame.header && bus_message::isRunActionCall(prefix)) << size;
        EXPECT_EQ(bus_message::keepReadEntries(prefix, frame), size);
    }

    // Lengths inside the body that point past it, one at a time: the array's, the first key's.
    for (std::size_t at : {frame.header + 2, frame.header + 8 + 2}) {
        bad = valid;
        bad[at] = 0x7f;
        const Bytes sent = bad;
        EXPECT_EQ(bus_message::keepReadEntries(bad, frame), bad.size()) << at;
        EXPECT_EQ(bad, sent) << at;
    }

    // Arrays whose elements do not fill them exactly: GDBus reads on from where the last element ends,
    // so an entry the filter would see after the array may be inside a string to GDBus.
    Bytes overrun = runActionCall("({'junk': <['a']>, 'path': <'/p'>, 'kind': <int64 7>},)",
                                  G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN);
    const Bytes element{1, 0, 0, 0, 'a', 0};
    const Bytes pathText{'/', 'p', 0};
    const auto elementAt = std::search(overrun.begin(), overrun.end(), element.begin(), element.end());
    const auto pathEnd = std::search(overrun.begin(), overrun.end(), pathText.begin(), pathText.end()) + 2;
    ASSERT_LT(elementAt, pathEnd);
    overrun[static_cast<std::size_t>(elementAt - overrun.begin())] =
        static_cast<std::uint8_t>(pathEnd - elementAt - 4);
    Bytes shortBooleans = runActionCall("({'junk': <[true, false]>, 'path': <'/p'>},)",
                                        G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN);
    const Bytes eight{8, 0, 0, 0, 1, 0, 0, 0};
    std::search(shortBooleans.begin(), shortBooleans.end(), eight.begin(), eight.end())[0] = 6;
    for (Bytes* stretched : {&overrun, &shortBooleans}) {
        const Bytes sent = *stretched;
        EXPECT_EQ(bus_message::keepReadEntries(*stretched, *bus_message::frameOf(sent)), sent.size());
        EXPECT_EQ(*stretched, sent);
    }

    // Variants in variants past any bus's nesting.
    std::string deep = "'/deep'";
    for (int i = 0; i < 70; ++i) {
        deep = "<" + deep + ">";
    }
    GDBusMessage* message = g_dbus_message_new_method_call(nullptr, "/p", "a.b", "RunAction");
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "x", g_variant_new_int32(1));
    g_variant_builder_add(&builder, "{sv}", "path", g_variant_new_parsed(deep.c_str()));
    g_dbus_message_set_body(message, g_variant_new("(a{sv})", &builder));
    Bytes tooDeep = wire(message, G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN);
    EXPECT_EQ(bus_message::keepReadEntries(tooDeep, *bus_message::frameOf(tooDeep)), tooDeep.size());

    // Every byte changed, one at a time: within bounds whatever it says (AddressSanitizer watches).
    for (std::size_t at = 0; at < valid.size(); ++at) {
        for (int value : {0x00, 0x01, 0x07, 0x80, 0xff}) {
            bad = valid;
            bad[at] = static_cast<std::uint8_t>(value);
            const auto changed = bus_message::frameOf(bad);
            if (!changed || changed->total != bad.size()) {
                continue;
            }
            EXPECT_LE(bus_message::keepReadEntries(bad, *changed), bad.size());
            bus_message::isRunActionCall(std::span(bad).first(changed->header));
        }
    }
}

TEST(BusStreamFilter, RewritesOnlyRunActionCallsHoweverTheBytesArrive) {
    const auto order = G_DBUS_MESSAGE_BYTE_ORDER_LITTLE_ENDIAN;
    const Bytes call = runActionCall("({'kind': <int64 3>, 'junk': <[int64 1, 2, 3, 4, 5]>},)", order);
    const Bytes other = runActionCall("({'junk': <'x'>},)", order, "Other");
    const Bytes signal = wire(g_dbus_message_new_signal("/p", "a.b", "RunAction"), order);
    Bytes large =
        runActionCall(("({'kind': <int64 3>, 'junk': <'" + std::string(200000, 'j') + "'>},)").c_str(),
                      G_DBUS_MESSAGE_BYTE_ORDER_BIG_ENDIAN);
    Bytes shortCall = call;
    shortCall.resize(bus_message::keepReadEntries(shortCall, *bus_message::frameOf(shortCall)));
    Bytes shortLarge = large;
    shortLarge.resize(bus_message::keepReadEntries(shortLarge, *bus_message::frameOf(shortLarge)));
    ASSERT_LT(shortCall.size(), call.size());
    ASSERT_LT(shortLarge.size(), 200u);

    Bytes in;
    Bytes expected;
    const std::vector<std::pair<const Bytes*, const Bytes*>> sequence{{&call, &shortCall},
                                                                      {&other, &other},
                                                                      {&large, &shortLarge},
                                                                      {&signal, &signal},
                                                                      {&call, &shortCall}};
    for (const auto& [sent, read] : sequence) {
        in.insert(in.end(), sent->begin(), sent->end());
        expected.insert(expected.end(), read->begin(), read->end());
    }
    // Bytes that fit no frame, and all after them, go on unchanged; so does a message cut short.
    const Bytes garbage{'x', 1, 2, 3};
    for (const Bytes* tail : {&garbage, &call}) {
        in.insert(in.end(), tail->begin(), tail->end());
        expected.insert(expected.end(), tail->begin(), tail->end());
    }
    for (std::size_t piece :
         {std::size_t{1}, std::size_t{7}, std::size_t{16}, std::size_t{4096}, in.size()}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(readThroughFilter(in, piece), expected);
    }
    Bytes cut(call.begin(), call.end() - 3);
    EXPECT_EQ(readThroughFilter(cut, 5), cut);
}

} // namespace
} // namespace action_service
