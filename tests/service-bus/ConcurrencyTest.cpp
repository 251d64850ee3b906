// Calls of different callers run at the same time; calls of one caller run one after another.
#include "BusClient.hpp"
#include "PrivateBus.hpp"

#include <gtest/gtest.h>
#include <thread>

namespace service_bus {
namespace {

using test_support::waitFor;
using Calls = std::vector<std::vector<std::string>>;

class ServiceBusConcurrency : public ::testing::Test {
protected:
    PrivateBus bus;
    test_support::TempFolder files{"quorvel-service-files"};

    std::string loadRequest(const std::string& name) {
        return "{'kind': <5>, 'path': <" + quoted(files / name) + ">}";
    }
};

// Pipelined RunAction calls on one connection, answered through the given context.
class Pipeline {
public:
    explicit Pipeline(GDBusConnection* connection)
        : connection_(connection)
        , context_(g_main_context_new()) {
        g_main_context_push_thread_default(context_);
    }
    ~Pipeline() {
        g_main_context_pop_thread_default(context_);
        g_main_context_unref(context_);
    }

    void send(GVariant* request) {
        results_.emplace_back();
        g_dbus_connection_call(connection_, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH,
                               QUORVEL_SERVICE_INTERFACE, "RunAction", g_variant_new_tuple(&request, 1),
                               G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, replyTimeout, nullptr, done,
                               new Slot{this, results_.size() - 1});
    }
    // Every call has its own timeout, so every callback comes.
    std::vector<Result>& wait() {
        while (finished_ < results_.size()) {
            g_main_context_iteration(context_, TRUE);
        }
        return results_;
    }

private:
    struct Slot {
        Pipeline* pipeline;
        std::size_t index;
    };
    static void done(GObject* source, GAsyncResult* result, gpointer data) {
        auto* slot = static_cast<Slot*>(data);
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        slot->pipeline->results_[slot->index] = Result(reply, error);
        ++slot->pipeline->finished_;
        delete slot;
    }

    GDBusConnection* connection_;
    GMainContext* context_;
    std::vector<Result> results_;
    std::size_t finished_ = 0;
};

TEST_F(ServiceBusConcurrency, TwoCallersRunAtTheSameTime) {
    GDBusConnection* first = bus.connect();
    GDBusConnection* second = bus.connect();
    bus.fake.hold("load");
    std::string firstReply;
    std::string secondReply;
    std::thread one([&] { firstReply = runAction(first, request(loadRequest("one.plist"))).text(); });
    std::thread two([&] { secondReply = runAction(second, request(loadRequest("two.plist"))).text(); });
    // Both loads wait at the barrier at once: neither caller waits for the other.
    EXPECT_TRUE(waitFor([&] { return bus.fake.startedCount() == 2; }))
        << bus.fake.startedCount() << " started";
    bus.fake.release();
    one.join();
    two.join();
    EXPECT_EQ(firstReply, "@a{sv} {}");
    EXPECT_EQ(secondReply, "@a{sv} {}");
}

TEST_F(ServiceBusConcurrency, OneCallersCallsRunInOrder) {
    GDBusConnection* caller = bus.connect();
    GDBusConnection* other = bus.connect();
    {
        Pipeline pipeline(caller);
        for (int i = 0; i < 8; ++i) {
            pipeline.send(request(loadRequest("job" + std::to_string(i))));
        }
        for (const Result& result : pipeline.wait()) {
            EXPECT_EQ(result.text(), "@a{sv} {}");
        }
    }
    Calls expected;
    for (int i = 0; i < 8; ++i) {
        expected.push_back({"load", "-w", files / ("job" + std::to_string(i))});
    }
    EXPECT_EQ(bus.fake.calls(), expected);

    // While the caller's first call is held, its second waits, though another caller gets through.
    bus.fake.hold("load");
    {
        Pipeline pipeline(caller);
        pipeline.send(request(loadRequest("held")));
        pipeline.send(request(loadRequest("queued")));
        EXPECT_TRUE(waitFor([&] { return bus.fake.startedCount() == 1; }));
        // Answered after the queued call reached the service.
        GVariant* pong = g_dbus_connection_call_sync(
            caller, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH, "org.freedesktop.DBus.Peer",
            "Ping", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, replyTimeout, nullptr, nullptr);
        ASSERT_NE(pong, nullptr);
        g_variant_unref(pong);
        std::string otherReply;
        std::thread passing([&] { otherReply = runAction(other, request(loadRequest("other"))).text(); });
        EXPECT_TRUE(waitFor([&] { return bus.fake.startedCount() == 2; }));
        EXPECT_EQ(bus.fake.callCount(), 10u) << "the queued call started before the held one ended";
        bus.fake.release();
        passing.join();
        EXPECT_EQ(otherReply, "@a{sv} {}");
        for (const Result& result : pipeline.wait()) {
            EXPECT_EQ(result.text(), "@a{sv} {}");
        }
    }
    Calls calls = bus.fake.calls();
    ASSERT_EQ(calls.size(), 11u);
    EXPECT_EQ(Calls(calls.begin() + 8, calls.end()), (Calls{{"load", "-w", files / "held"},
                                                            {"load", "-w", files / "other"},
                                                            {"load", "-w", files / "queued"}}));
}

} // namespace
} // namespace service_bus
