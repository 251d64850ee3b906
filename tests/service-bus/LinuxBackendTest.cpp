// The decisions inside the Linux backends: names, texts the bus can carry, value mapping, queues.
#include "BusNames.hpp"
#include "CallScheduler.hpp"
#include "MessageValue.hpp"
#include "NoAuthority.hpp"
#include "ReceivedMessage.hpp"
#include "WaitFor.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <span>
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

// The request the service reads from a RunAction call whose a{sv} is written as GVariant text, marshalled
// by GDBus and received by the service's bus library.
Dictionary requestFrom(const char* text) {
    GVariant* variant = g_variant_parse(G_VARIANT_TYPE_VARDICT, text, nullptr, nullptr, nullptr);
    EXPECT_NE(variant, nullptr) << text;
    if (variant == nullptr) {
        return {};
    }
    g_autoptr(GDBusMessage) call = g_dbus_message_new_method_call(nullptr, "/a", "a.b", "RunAction");
    g_dbus_message_set_serial(call, 1);
    g_dbus_message_set_body(call, g_variant_new_tuple(&variant, 1));
    gsize size = 0;
    g_autofree guchar* blob = g_dbus_message_to_blob(call, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    service_bus::ReceivedMessage received(std::span<const std::uint8_t>(blob, size));
    EXPECT_NE(received.get(), nullptr) << text;
    if (received.get() == nullptr) {
        return {};
    }
    std::optional<ReadRequest> read = readRequest(received.get());
    EXPECT_TRUE(read.has_value()) << text;
    return read ? read->request : Dictionary{};
}

TEST(MessageValue, RequestTypes) {
    for (const char* integer :
         {"byte 7", "int16 7", "uint16 7", "7", "uint32 7", "int64 7", "uint64 7", "<<7>>"}) {
        EXPECT_EQ(requestFrom(("{'kind': <" + std::string(integer) + ">}").c_str()),
                  (Dictionary{{"kind", 7}}))
            << integer;
    }
    EXPECT_EQ(requestFrom("{'kind': <int64 -9223372036854775808>}"),
              (Dictionary{{"kind", std::numeric_limits<std::int64_t>::min()}}));
    // Not integers: above the int64 range, a real, a Boolean, a text of digits.
    for (const char* other : {"uint64 9223372036854775808", "7.0", "true", "'7'", "[7]", "(7, 8)"}) {
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
    // What is skipped is skipped whole: the entries after it are read.
    EXPECT_EQ(
        requestFrom("{'privileged': <1>, 'path': <[byte 0x61]>, 'authData': <'ab'>, 'testPath': "
                    "<{'k': <'v'>}>, 'Kind': <3>, 'other': <('x', [<'y'>])>, 'kind': <5>, 'kind': <'x'>, "
                    "'label': <<<[1, 2]>>>, 'path': <'/p'>}"),
        (Dictionary{{"kind", 5}, {"path", "/p"}}));
}

TEST(MessageValue, ReplyTypes) {
    service_bus::ReceivedMessage received(service_bus::ReceivedMessage::runActionCall({}));
    ASSERT_NE(received.get(), nullptr);
    sd_bus_message* reply = nullptr;
    ASSERT_GE(sd_bus_message_new_method_return(received.get(), &reply), 0);
    const Dictionary dictionary{
        {"error", Dictionary{{"domain", "D"}, {"code", 4}, {"description", std::string("a\0b", 3)}}},
        {"flag", true},
        {"real", 1.5},
        {"data", Value::Data{1, 2}},
        {"list", Value::Array{1, "x"}}};
    ASSERT_GE(appendDictionary(reply, dictionary), 0);
    const std::vector<std::uint8_t> bytes = received.sendAndCollect(reply);
    sd_bus_message_unref(reply);
    g_autoptr(GDBusMessage) parsed = g_dbus_message_new_from_blob(
        const_cast<guchar*>(bytes.data()), bytes.size(), G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    ASSERT_NE(parsed, nullptr);
    g_autofree gchar* text = g_variant_print(g_dbus_message_get_body(parsed), TRUE);
    EXPECT_STREQ(text, "({'data': <[byte 0x01, 0x02]>, 'error': <{'code': <int64 4>, 'description': "
                       "<'a\xEF\xBF\xBD"
                       "b'>, 'domain': <'D'>}>, 'flag': <true>, 'list': <[<int64 1>, <'x'>]>, "
                       "'real': <1.5>},)");
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
    CallScheduler scheduler(CallScheduler::Limits{2, 2, 100, 0});
    using Refusal = CallScheduler::Refusal;
    EXPECT_FALSE(scheduler.post("a", 101, 0, record.call("a1", gate)));
    EXPECT_FALSE(scheduler.post("b", 102, 0, record.call("b1", gate)));
    // Two callers run at once; a third waits for a free slot.
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 2; }));
    EXPECT_FALSE(scheduler.post("c", 103, 0, record.call("c1", gate)));
    // Calls waiting behind a running one count against their caller's bound.
    EXPECT_FALSE(scheduler.post("a", 104, 0, record.call("a2", gate)));
    EXPECT_FALSE(scheduler.post("a", 105, 0, record.call("a3", gate)));
    EXPECT_EQ(scheduler.post("a", 106, 0, record.call("a4", gate)), Refusal::callerQueueFull);
    // Bodies of waiting calls count against the bound in all.
    EXPECT_FALSE(scheduler.post("d", 107, 90, record.call("d1", gate)));
    EXPECT_EQ(scheduler.post("e", 108, 11, record.call("e1", gate)), Refusal::queuedBytesFull);
    EXPECT_EQ(scheduler.post("f", 109, std::size_t{1} << 40, record.call("f1", gate)),
              Refusal::queuedBytesFull);
    EXPECT_FALSE(scheduler.post("e", 110, 10, record.call("e2", gate)));
    EXPECT_EQ(record.count(), 2u) << "a call started beyond the running bound";

    gate.open();
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 7; }));
    // Started calls no longer count: the bound has room again.
    EXPECT_FALSE(scheduler.post("e", 111, 100, record.call("e3", gate)));
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

TEST(CallScheduler, StopHandsBackTheQueuedCallsAndLetsTheRunningOneFinish) {
    Gate gate;
    Record record;
    // One call at a time, and every waiting call costs 100 bytes besides its request.
    CallScheduler scheduler(CallScheduler::Limits{1, 4, 1000, 100});
    using Refusal = CallScheduler::Refusal;
    EXPECT_FALSE(scheduler.post("a", 1, 0, record.call("a1", gate)));
    ASSERT_TRUE(test_support::waitFor([&] { return record.count() == 1; }));
    // Ten empty calls fill the bound in bytes: many small calls cannot pass it either.
    for (CallScheduler::CallId id = 2; id <= 11; ++id) {
        EXPECT_FALSE(scheduler.post("c" + std::to_string(id), id, 0, record.call("c", gate))) << id;
    }
    EXPECT_EQ(scheduler.post("d", 12, 0, record.call("d", gate)), Refusal::queuedBytesFull);

    std::vector<CallScheduler::CallId> expected;
    for (CallScheduler::CallId id = 2; id <= 11; ++id) {
        expected.push_back(id);
    }
    EXPECT_EQ(scheduler.stop(), expected);
    EXPECT_EQ(scheduler.post("a", 13, 0, record.call("a2", gate)), Refusal::stopped);
    EXPECT_EQ(scheduler.stop(), std::vector<CallScheduler::CallId>{});
    gate.open();
    ASSERT_TRUE(test_support::waitFor([&] {
        std::lock_guard lock(record.mutex);
        return record.running == 0;
    }));
    std::lock_guard lock(record.mutex);
    EXPECT_EQ(record.started, std::vector<std::string>{"a1"}) << "a queued call started after the stop";
}

} // namespace
} // namespace action_service
