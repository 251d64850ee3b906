// Calls of different callers run at the same time; calls of one caller run one after another.
#include "ActivatingBus.hpp"
#include "BusClient.hpp"
#include "ChildProcess.hpp"
#include "FolderEntries.hpp"
#include "LeanClient.hpp"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <optional>
#include <signal.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace service_bus {
namespace {

using test_support::entriesIn;
using test_support::waitFor;
using Calls = std::vector<std::vector<std::string>>;

constexpr const char* limitsExceeded = "org.freedesktop.DBus.Error.LimitsExceeded";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines the service wrote into a bus's log.
std::vector<std::string> serviceLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("Quorvel5XPCAction: ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Makes this process the parent of the services a bus starts: the bus's activation helper leaves them to
// the nearest ancestor that takes orphans, so that a test can read how a service ended.
class ServiceParent {
public:
    ServiceParent() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
    // Declared before the bus, so ends after it: what it adopted (a service, a launchctl let go) and has
    // ended by now is reaped, not left a zombie for the rest of the test program.
    ~ServiceParent() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }
    ServiceParent(const ServiceParent&) = delete;
    ServiceParent& operator=(const ServiceParent&) = delete;

    // Whether the process became a child of this one (its starter gone) within the deadline.
    static bool adopted(pid_t pid) {
        return waitFor([&] { return test_support::statusNumber(pid, "PPid") == ::getpid(); });
    }
};

class ServiceBusConcurrency : public ::testing::Test {
protected:
    ActivatingBus bus;
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

    void send(GVariant* request) { send(connection_, request); }
    // On another caller's connection, through the same context.
    void send(GDBusConnection* connection, GVariant* request, int timeout = replyTimeout) {
        results_.emplace_back();
        answered_.push_back(false);
        g_dbus_connection_call(connection, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH,
                               QUORVEL_SERVICE_INTERFACE, "RunAction", g_variant_new_tuple(&request, 1),
                               G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, timeout, nullptr, done,
                               new Slot{this, results_.size() - 1});
    }
    // Handles what has arrived, without waiting.
    void poll() {
        while (g_main_context_iteration(context_, FALSE)) {
        }
    }
    bool finished(std::size_t index) {
        poll();
        return answered_[index];
    }
    Result& waitFor(std::size_t index) {
        while (!answered_[index]) {
            g_main_context_iteration(context_, TRUE);
        }
        return results_[index];
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
        slot->pipeline->answered_[slot->index] = true;
        ++slot->pipeline->finished_;
        delete slot;
    }

    GDBusConnection* connection_;
    GMainContext* context_;
    std::vector<Result> results_;
    std::vector<bool> answered_;
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
        ASSERT_TRUE(pinged(caller));
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

// Every exit (quit, a refused privileged request, SIGTERM) while a save is held inside launchctl and a call
// waits behind it: the name goes at once, so a new caller reaches a new service; the waiting call is told
// at once that the service is exiting; the held save still finishes and replies, and leaves no temporary.
TEST(ServiceBusExit, ReleasesTheNameFirstAndLetsRunningCallsFinish) {
    std::string bytes = "[byte 0";
    for (int i = 1; i < 32; ++i) {
        bytes += ", " + std::to_string(i);
    }
    bytes += "]";
    const std::string refused = "{'kind': <9>, 'privileged': <true>, 'authData': <" + bytes + ">}";
    const std::string codeOne = "{'error': <{'code': <int64 1>, 'domain': <'QuorvelActionErrorDomain'>}>}";
    // (exit request, its reply); no request: SIGTERM.
    for (const auto& [exitRequest, exitReply] :
         {std::pair<std::string, std::string>{"{'kind': <3>}", ""}, {refused, codeOne}, {"", ""}}) {
        SCOPED_TRACE(exitRequest.empty() ? "SIGTERM" : exitRequest);
        ActivatingBus bus;
        test_support::TempFolder files{"quorvel-service-files"};
        GDBusConnection* saver = bus.connect();
        GDBusConnection* ender = bus.connect();
        GDBusConnection* prober = bus.connect();
        ASSERT_TRUE(listenerEndpoint(prober).answered());
        const auto pid = bus.ownerPid();
        ASSERT_TRUE(pid);
        const std::string oldOwner = bus.ownerName();
        const std::filesystem::path job = files / "job.plist";
        { std::ofstream(job) << "old text"; }
        bus.fake.hold("unload");
        Pipeline pipeline(saver);
        pipeline.send(request("{'kind': <0>, 'path': <" + quoted(job) +
                              ">, 'label': <'app.job'>, 'plistString': <'new text'>}"));
        pipeline.send(request("{'kind': <5>, 'path': <" + quoted(job) + ">}")); // waits behind the save
        ASSERT_TRUE(waitFor([&] { return bus.fake.startedCount() == 1; }));
        // The queued call has reached the service once a Ping sent after it is answered.
        ASSERT_TRUE(pinged(saver));
        if (exitRequest.empty()) {
            ASSERT_EQ(::kill(*pid, SIGTERM), 0);
        } else {
            pipeline.send(ender, request(exitRequest));
        }

        EXPECT_TRUE(waitFor([&] { return bus.ownerName() != oldOwner; }, std::chrono::seconds(1)))
            << "the name was not released within 1 s";
        Result& queued = pipeline.waitFor(1);
        EXPECT_NE(queued.remoteError().find(".Error.Exiting"), std::string::npos) << queued.text();
        if (!exitReply.empty()) {
            EXPECT_EQ(pipeline.waitFor(2).text(), exitReply);
        }
        Result fresh = listenerEndpoint(prober);
        ASSERT_TRUE(fresh.answered()) << fresh.text();
        EXPECT_NE(fresh.text(), "['" + oldOwner + "']") << "the old service answered a new caller";
        EXPECT_FALSE(PrivateBus::hasEnded(*pid)) << "ended with a save in flight";
        EXPECT_FALSE(pipeline.finished(0)) << "the save replied while held";

        bus.fake.release();
        EXPECT_EQ(pipeline.waitFor(0).text(), "@a{sv} {}");
        EXPECT_EQ(readFile(job), "new text");
        EXPECT_EQ(entriesIn(files.path()), 1u) << "a temporary file was left behind";
        if (!exitRequest.empty() && exitReply.empty()) {
            Result& ended = pipeline.waitFor(2);
            EXPECT_FALSE(ended.answered()) << ended.text();
            EXPECT_FALSE(ended.timedOut()) << "the bus answers a call the ended service left";
        }
        EXPECT_TRUE(waitFor([&] { return PrivateBus::hasEnded(*pid); }));
        EXPECT_EQ(bus.fake.calls(), (Calls{{"unload", "-w", job}, {"remove", "app.job"}}));
    }
}

// A call still running 30 s after an exit began is abandoned: the name goes at once, and after 30 s the
// service logs one line naming the call and ends with the exit's status, leaving no temporary file.
TEST(ServiceBusEnd, AbandonsACallStillRunningAfter30Seconds) {
    ServiceParent parent;
    ActivatingBus bus("", true, ServiceLog::kept);
    test_support::TempFolder files{"quorvel-service-files"};
    GDBusConnection* saver = bus.connect();
    GDBusConnection* ender = bus.connect();
    ASSERT_TRUE(listenerEndpoint(ender).answered());
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    ASSERT_TRUE(parent.adopted(*pid));
    const std::string oldOwner = bus.ownerName();
    const std::filesystem::path job = files / "job.plist";
    { std::ofstream(job) << "old text"; }
    bus.fake.hold("unload");
    // Both calls outlast the service, so that the bus answers them when it ends.
    constexpr int pastTheExit = 60000;
    Pipeline pipeline(saver);
    pipeline.send(saver,
                  request("{'kind': <0>, 'path': <" + quoted(job) +
                          ">, 'label': <'app.job'>, 'plistString': <'new text'>}"),
                  pastTheExit);
    ASSERT_TRUE(waitFor([&] { return bus.fake.startedCount() == 1; }));
    const auto quitSent = std::chrono::steady_clock::now();
    pipeline.send(ender, request("{'kind': <3>}"), pastTheExit);
    EXPECT_TRUE(waitFor([&] { return bus.ownerName() != oldOwner; }, std::chrono::seconds(1)))
        << "the name was not released within 1 s";

    const std::optional<int> status = test_support::waitForExit(*pid, std::chrono::seconds(45));
    const auto waited = std::chrono::steady_clock::now() - quitSent;
    ASSERT_TRUE(status) << "still running 45 s after the quit";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
    EXPECT_GE(waited, std::chrono::seconds(30)) << "the running call was not given 30 s";
    EXPECT_EQ(serviceLines(bus.log()),
              std::vector<std::string>{"Quorvel5XPCAction: exiting with 1 call(s) unfinished after 30 s: "
                                       "RunAction of kind 0 from " +
                                       std::string(g_dbus_connection_get_unique_name(saver))});
    for (const Result& result : pipeline.wait()) {
        EXPECT_EQ(result.remoteError(), "org.freedesktop.DBus.Error.NoReply") << result.text();
    }
    EXPECT_EQ(bus.fake.finishedCount(), 0u) << "launchctl was let go during the wait";
    bus.fake.release();
    EXPECT_TRUE(waitFor([&] { return bus.fake.finishedCount() == 1; }));
    EXPECT_EQ(bus.fake.calls(), (Calls{{"unload", "-w", job}}));
    EXPECT_EQ(readFile(job), "old text");
    EXPECT_EQ(entriesIn(files.path()), 1u) << "a temporary file was left behind";
}

// The bus carries messages of up to 128 MiB, and sd-bus reads only smaller ones: the largest call a caller
// may send reaches the service larger by the sender's name that the bus adds. The service cannot read on,
// so it says why, lets go of the name and ends as on any lost connection; the next call starts a new one.
TEST(ServiceBusEnd, WhenTheBusDeliversAMessageTooLargeToRead) {
    ServiceParent parent;
    ActivatingBus bus("", true, ServiceLog::kept);
    GDBusConnection* prober = bus.connect();
    ASSERT_TRUE(listenerEndpoint(prober).answered());
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    ASSERT_TRUE(parent.adopted(*pid));
    const std::string oldOwner = bus.ownerName();

    // No request is this large (an array holds at most 64 MiB), but a call of one text is. Its size on the
    // wire is that of the same call with an empty text, plus the text's length.
    g_autoptr(GDBusMessage) empty = g_dbus_message_new_method_call(
        QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH, QUORVEL_SERVICE_INTERFACE, "RunAction");
    g_dbus_message_set_body(empty, g_variant_new("(s)", ""));
    gsize emptySize = 0;
    g_autofree guchar* blob =
        g_dbus_message_to_blob(empty, &emptySize, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    ASSERT_GT(emptySize, 0u);
    const std::size_t length = (std::size_t{1} << 27) - emptySize;
    LeanClient lean(bus.address());
    ASSERT_TRUE(lean.connected());
    const std::string outcome = lean.call(
        QUORVEL_SERVICE_INTERFACE, "RunAction",
        [&](sd_bus_message* m) {
            char* text = nullptr;
            const int r = sd_bus_message_append_string_space(m, length, &text);
            if (r >= 0) {
                std::memset(text, 't', length);
            }
            return r;
        },
        120'000'000);
    EXPECT_EQ(outcome, "org.freedesktop.DBus.Error.NoReply") << "the bus did not deliver the call";

    const std::optional<int> status = test_support::waitForExit(*pid, std::chrono::seconds(30));
    ASSERT_TRUE(status) << "still running 30 s after the call";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "wait status " << *status;
    EXPECT_NE(bus.ownerName(), oldOwner);
    EXPECT_EQ(serviceLines(bus.log()),
              std::vector<std::string>{
                  "Quorvel5XPCAction: lost the bus connection: the bus sent a message of 128 MiB or "
                  "more, more than sd-bus reads"});
    Result fresh = listenerEndpoint(prober);
    ASSERT_TRUE(fresh.answered()) << fresh.text();
    EXPECT_NE(fresh.text(), "['" + oldOwner + "']");
}

TEST_F(ServiceBusConcurrency, ManyCallersAreAnsweredWithinTheBounds) {
    // One caller more than may run at once, each with a load that launchctl holds.
    constexpr std::size_t callers = 65;
    constexpr std::size_t perCaller = 1024;
    // Once released, 65 fake launchctl runs and a thousand quick calls: generous for a busy machine.
    constexpr int patient = 120000;
    const std::string codeThree = "{'error': <{'code': <int64 3>, 'domain': <'QuorvelActionErrorDomain'>}>}";
    std::vector<GDBusConnection*> connections;
    for (std::size_t i = 0; i < callers; ++i) {
        connections.push_back(bus.connect());
    }
    ASSERT_TRUE(listenerEndpoint(connections[0]).answered());
    bus.fake.hold("load");
    Pipeline pipeline(connections[0]);
    for (std::size_t i = 0; i < callers; ++i) {
        pipeline.send(connections[i], request(loadRequest("job" + std::to_string(i))), patient);
    }
    // Each Ping is answered after the call before it on that connection reached the service.
    for (GDBusConnection* connection : connections) {
        ASSERT_TRUE(pinged(connection));
    }
    EXPECT_TRUE(waitFor([&] { return bus.fake.startedCount() == 64; })) << bus.fake.startedCount();

    // A caller that sends a batch: 1,024 calls wait their turn behind the running ones, the next is refused
    // at once. (Requests without a kind: they run no launchctl.)
    GDBusConnection* batch = bus.connect();
    for (std::size_t i = 0; i <= perCaller; ++i) {
        pipeline.send(batch, request("@a{sv} {}"), patient);
    }
    Result& refused = pipeline.waitFor(callers + perCaller);
    EXPECT_EQ(refused.remoteError(), limitsExceeded) << refused.text();
    EXPECT_NE(refused.errorMessage().find("1024 calls of one caller"), std::string::npos)
        << refused.errorMessage();
    EXPECT_EQ(bus.fake.startedCount(), 64u) << "more calls ran at once than the bound";
    for (std::size_t i = 0; i < callers + perCaller; ++i) {
        EXPECT_FALSE(pipeline.finished(i)) << "call " << i << " was answered before the release";
    }

    bus.fake.release();
    std::vector<Result>& results = pipeline.wait();
    for (std::size_t i = 0; i < callers + perCaller; ++i) {
        EXPECT_EQ(results[i].text(), i < callers ? "@a{sv} {}" : codeThree) << "call " << i;
    }
    EXPECT_EQ(bus.fake.callCount(), callers);
}

} // namespace
} // namespace service_bus
