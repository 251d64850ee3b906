// The decisions inside the Linux backends: names, texts the bus can carry, value mapping, queues.
#include "BusNames.hpp"
#include "CallScheduler.hpp"
#include "NoAuthority.hpp"
#include "VariantValue.hpp"
#include "WaitFor.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
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

Dictionary requestFrom(const char* text) {
    GVariant* variant =
        g_variant_ref_sink(g_variant_parse(G_VARIANT_TYPE_VARDICT, text, nullptr, nullptr, nullptr));
    EXPECT_NE(variant, nullptr) << text;
    Dictionary request = variant != nullptr ? requestFromVariant(variant) : Dictionary{};
    if (variant != nullptr) {
        g_variant_unref(variant);
    }
    return request;
}

TEST(VariantValue, RequestTypes) {
    for (const char* integer :
         {"byte 7", "int16 7", "uint16 7", "7", "uint32 7", "int64 7", "uint64 7", "<<7>>"}) {
        EXPECT_EQ(requestFrom(("{'kind': <" + std::string(integer) + ">}").c_str()),
                  (Dictionary{{"kind", 7}}))
            << integer;
    }
    EXPECT_EQ(requestFrom("{'kind': <int64 -9223372036854775808>}"),
              (Dictionary{{"kind", std::numeric_limits<std::int64_t>::min()}}));
    // Not integers: above the int64 range, a real, a Boolean, a text of digits.
    for (const char* other : {"uint64 9223372036854775808", "7.0", "true", "'7'", "[7]", "@mi 7", "(7, 8)"}) {
        EXPECT_EQ(requestFrom(("{'kind': <" + std::string(other) + ">}").c_str()), Dictionary{}) << other;
    }
    EXPECT_EQ(requestFrom("{'privileged': <true>, 'path': <'/a'>, 'label': <objectpath '/b/c'>, "
                          "'plistString': <signature 'a{sv}'>, 'authData': <[byte 0x61, 0x62]>, "
                          "'deletePath': <<'/d'>>}"),
              (Dictionary{{"privileged", true},
                          {"path", "/a"},
                          {"label", "/b/c"},
                          {"plistString", "a{sv}"},
                          {"authData", Value::Data{'a', 'b'}},
                          {"deletePath", "/d"}}));
    // Known keys in other types, and unknown keys, are left out; of one key the last readable entry counts.
    EXPECT_EQ(requestFrom("{'privileged': <1>, 'path': <[byte 0x61]>, 'authData': <'ab'>, 'testPath': "
                          "<{'k': <'v'>}>, 'Kind': <3>, 'other': <'x'>, 'kind': <5>, 'kind': <'x'>}"),
              (Dictionary{{"kind", 5}}));
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

// A barrier that scheduled calls wait at until the test opens it.
class Gate {
public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

// What the calls did, in the order they started.
struct Record {
    std::mutex mutex;
    std::vector<std::string> started;
    int running = 0;
    int mostRunning = 0;

    CallScheduler::Task call(const std::string& name, Gate& gate) {
        return [this, name, &gate] {
            {
                std::lock_guard lock(mutex);
                started.push_back(name);
                mostRunning = std::max(mostRunning, ++running);
            }
            gate.pass();
            std::lock_guard lock(mutex);
            --running;
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return started.size();
    }
};

TEST(CallScheduler, RunsEachCallersCallsInOrderWithinTheBounds) {
    Gate gate;
    Record record;
    CallScheduler scheduler(CallScheduler::Limits{2, 2, 100});
    using Refusal = CallScheduler::Refusal;
    EXPECT_FALSE(scheduler.post("a", 0, record.call("a1", gate)));
    EXPECT_FALSE(scheduler.post("b", 0, record.call("b1", gate)));
    // Two callers run at once; a third waits for a free slot.
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 2; }));
    EXPECT_FALSE(scheduler.post("c", 0, record.call("c1", gate)));
    // Calls waiting behind a running one count against their caller's bound.
    EXPECT_FALSE(scheduler.post("a", 0, record.call("a2", gate)));
    EXPECT_FALSE(scheduler.post("a", 0, record.call("a3", gate)));
    EXPECT_EQ(scheduler.post("a", 0, record.call("a4", gate)), Refusal::callerQueueFull);
    // Bodies of waiting calls count against the bound in all.
    EXPECT_FALSE(scheduler.post("d", 90, record.call("d1", gate)));
    EXPECT_EQ(scheduler.post("e", 11, record.call("e1", gate)), Refusal::queuedBytesFull);
    EXPECT_EQ(scheduler.post("f", std::size_t{1} << 40, record.call("f1", gate)), Refusal::queuedBytesFull);
    EXPECT_FALSE(scheduler.post("e", 10, record.call("e2", gate)));
    EXPECT_EQ(record.count(), 2u) << "a call started beyond the running bound";

    gate.open();
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 7; }));
    // Started calls no longer count: the bound has room again.
    EXPECT_FALSE(scheduler.post("e", 100, record.call("e3", gate)));
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 8; }));
    std::lock_guard lock(record.mutex);
    EXPECT_EQ(record.mostRunning, 2);
    std::map<char, std::string> perCaller;
    for (const std::string& name : record.started) {
        perCaller[name[0]] += name.substr(1);
    }
    EXPECT_EQ(perCaller,
              (std::map<char, std::string>{{'a', "123"}, {'b', "1"}, {'c', "1"}, {'d', "1"}, {'e', "23"}}));
}

TEST(CallScheduler, DrainLetsRunningCallsFinishAndStartsNoQueuedOne) {
    Gate gate;
    Record record;
    std::atomic<int> entered{0};
    std::atomic<int> drained{0};
    CallScheduler scheduler(CallScheduler::Limits{});
    EXPECT_FALSE(scheduler.post("a", 0, record.call("a1", gate)));
    EXPECT_FALSE(scheduler.post("a", 0, record.call("a2", gate)));
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 1; }));
    // Two calls end the process at once: each waits for the other callers' calls, not for the other.
    for (const char* caller : {"b", "c"}) {
        EXPECT_FALSE(scheduler.post(caller, 0, [&] {
            // Both run before either drains: a drain starts no call that waits.
            ++entered;
            EXPECT_TRUE(test_support::waitFor([&] { return entered.load() == 2; }));
            scheduler.drain(true);
            ++drained;
        }));
    }
    // Once stopped, nothing more is taken; until then a probe is a call that does nothing.
    EXPECT_TRUE(test_support::waitFor(
        [&] { return scheduler.post("probe", 0, [] {}) == CallScheduler::Refusal::stopped; }));
    EXPECT_EQ(drained.load(), 0) << "drained while a1 still ran";
    gate.open();
    EXPECT_TRUE(test_support::waitFor([&] { return drained.load() == 2; }));
    scheduler.drain(false);
    std::lock_guard lock(record.mutex);
    EXPECT_EQ(record.started, std::vector<std::string>{"a1"}) << "a queued call started after the drain";
}

} // namespace
} // namespace action_service
