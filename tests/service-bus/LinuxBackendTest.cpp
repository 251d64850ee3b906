// The decisions inside the Linux backends: names, texts the bus can carry, value mapping, queues.
#include "BusNames.hpp"
#include "NoAuthority.hpp"
#include "SerialQueue.hpp"
#include "VariantValue.hpp"
#include "WaitFor.hpp"

#include <atomic>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace action_service {
namespace {

TEST(BusNames, DerivedFromTheBundleIdentifier) {
    BusNames names = BusNames::forBundleIdentifier("com.my-company.App");
    EXPECT_EQ(names.name, "com.my_company.App.Quorvel5XPCAction");
    EXPECT_EQ(names.path, "/com/my_company/App/Quorvel5XPCAction");
    EXPECT_EQ(names.interface, "com.my_company.App.RemoteObjectType");
    EXPECT_TRUE(g_dbus_is_name(names.name.c_str()));
    EXPECT_TRUE(g_variant_is_object_path(names.path.c_str()));
    EXPECT_TRUE(g_dbus_is_interface_name(names.interface.c_str()));
}

TEST(BusString, ReplacesWhatTheBusCannotCarry) {
    EXPECT_EQ(busString("plain ü €"), "plain ü €");
    EXPECT_EQ(busString(std::string("a\0b", 3)), "a\xEF\xBF\xBD"
                                                 "b");
    EXPECT_EQ(busString("bad \xFF end"), "bad \xEF\xBF\xBD end");
    EXPECT_EQ(busString("cut \xE2\x82"), "cut \xEF\xBF\xBD");
    EXPECT_TRUE(g_utf8_validate(busString("\xC0\x80\xED\xA0\x80").c_str(), -1, nullptr));
}

GVariant* parsed(const char* text) {
    GVariant* value = g_variant_parse(nullptr, text, nullptr, nullptr, nullptr);
    EXPECT_NE(value, nullptr) << text;
    return g_variant_ref_sink(value);
}

std::optional<Value> fromText(const char* text) {
    GVariant* variant = parsed(text);
    auto value = valueFromVariant(variant);
    g_variant_unref(variant);
    return value;
}

TEST(VariantValue, RequestTypes) {
    EXPECT_EQ(fromText("true"), Value(true));
    for (const char* integer : {"byte 7", "int16 7", "uint16 7", "7", "uint32 7", "int64 7", "uint64 7"}) {
        EXPECT_EQ(fromText(integer), Value(7)) << integer;
    }
    EXPECT_EQ(fromText("int64 -9223372036854775808"), Value(std::numeric_limits<std::int64_t>::min()));
    // Above the int64 range: a number, but not an integer.
    auto huge = fromText("uint64 9223372036854775808");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->integer(), nullptr);
    EXPECT_NE(huge->real(), nullptr);
    EXPECT_EQ(fromText("2.5"), Value(2.5));
    EXPECT_EQ(fromText("'text'"), Value("text"));
    EXPECT_EQ(fromText("objectpath '/a/b'"), Value("/a/b"));
    EXPECT_EQ(fromText("signature 'a{sv}'"), Value("a{sv}"));
    EXPECT_EQ(fromText("[byte 0x61, 0x62]"), Value(Value::Data{'a', 'b'}));
    EXPECT_EQ(fromText("@ay []"), Value(Value::Data{}));
    EXPECT_EQ(fromText("<<5>>"), Value(5));
    EXPECT_EQ(fromText("['a', 'b']"), Value(Value::Array{"a", "b"}));
    EXPECT_EQ(fromText("{'k': <{'n': <1>}>}"), Value(Dictionary{{"k", Dictionary{{"n", 1}}}}));
    // No value: tuples, maybes, handles; inside a dictionary such entries are left out.
    EXPECT_FALSE(fromText("(1, 2)"));
    EXPECT_FALSE(fromText("@mi 5"));
    EXPECT_FALSE(fromText("handle 3"));
    EXPECT_EQ(fromText("{'keep': <1>, 'drop': <(1, 2)>}"), Value(Dictionary{{"keep", 1}}));
    EXPECT_EQ(fromText("{'ss': 'not a vardict'}"), Value(Value::Array{}));
}

TEST(VariantValue, ReplyTypes) {
    Dictionary reply{
        {"error", Dictionary{{"domain", "D"}, {"code", 4}, {"description", std::string("a\0b", 3)}}},
        {"flag", true},
        {"real", 1.5},
        {"data", Value::Data{1, 2}},
        {"list", Value::Array{1, "x"}}};
    GVariant* variant = g_variant_ref_sink(variantFromDictionary(reply));
    gchar* text = g_variant_print(variant, TRUE);
    EXPECT_STREQ(text, "{'data': <[byte 0x01, 0x02]>, 'error': <{'code': <int64 4>, 'description': "
                       "<'a\xEF\xBF\xBD"
                       "b'>, 'domain': <'D'>}>, 'flag': <true>, 'list': <[<int64 1>, <'x'>]>, "
                       "'real': <1.5>}");
    g_free(text);
    g_variant_unref(variant);
}

TEST(NoAuthority, RefusesEveryExternalForm) {
    NoAuthority authority;
    Authority::Reference reference = &authority;
    EXPECT_NE(authority.createFromExternalForm(Authority::ExternalForm{}, reference), 0);
    EXPECT_EQ(reference, nullptr);
    EXPECT_NE(authority.copyRights(nullptr, "right", 3), 0);
}

TEST(SerialQueue, RunsInOrderAndFinishesWhatWasQueuedWhenRetired) {
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    auto queue = std::make_unique<SerialQueue>();
    for (int i = 0; i < 50; ++i) {
        queue->post([&, i] {
            if (running.fetch_add(1) != 0) {
                ++overlaps;
            }
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
            }
            running.fetch_sub(1);
        });
    }
    queue->retire();
    queue->post([&] { ++overlaps; }); // dropped
    queue.reset();
    EXPECT_TRUE(test_support::waitFor([&] {
        std::lock_guard lock(mutex);
        return order.size() == 50;
    }));
    std::lock_guard lock(mutex);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(overlaps.load(), 0);
}

} // namespace
} // namespace action_service
