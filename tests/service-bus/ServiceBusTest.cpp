// The action service end to end: activated on a private bus, called as the main application calls it.
#include "ActivatingBus.hpp"
#include "BusClient.hpp"
#include "ChildProcess.hpp"
#include "LeanClient.hpp"

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace service_bus {
namespace {

using test_support::waitFor;

const std::string codeThree = "{'error': <{'code': <int64 3>, 'domain': <'QuorvelActionErrorDomain'>}>}";
const std::string codeOne = "{'error': <{'code': <int64 1>, 'domain': <'QuorvelActionErrorDomain'>}>}";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::size_t threadCount(pid_t pid) {
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

class ServiceBus : public ::testing::Test {
protected:
    ActivatingBus bus;
    test_support::TempFolder files{"quorvel-service-files"};
};

TEST_F(ServiceBus, RepliesErrorsAndSilence) {
    GDBusConnection* caller = bus.connect();

    // The first call starts the service; the endpoint is its own unique name.
    Result endpoint = listenerEndpoint(caller);
    ASSERT_TRUE(endpoint.answered()) << endpoint.text();
    EXPECT_EQ(endpoint.text(), "['" + bus.ownerName() + "']");

    EXPECT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    EXPECT_EQ(runAction(caller, request("{'kind': <'7'>}")).text(), codeThree);
    EXPECT_EQ(runAction(caller, request("{'kind': <uint64 18446744073709551615>}")).text(), codeThree);

    // removeFile: success is the empty dictionary, failure the platform's error.
    const std::string doomed = files / "doomed";
    writeFile(doomed, "x");
    EXPECT_EQ(
        runAction(caller, request("{'kind': <int64 7>, 'deletePath': <" + quoted(doomed) + ">}")).text(),
        "@a{sv} {}");
    EXPECT_FALSE(std::filesystem::exists(doomed));
    EXPECT_EQ(runAction(caller, request("{'kind': <7>, 'deletePath': <" + quoted(doomed) + ">}")).text(),
              "{'error': <{'code': <int64 2>, 'description': <'No such file or directory'>, "
              "'domain': <'NSPOSIXErrorDomain'>, 'suggestion': <''>}>}");

    // Keys the service does not know, and known keys of other types where they are not read, are ignored.
    writeFile(doomed, "x");
    EXPECT_EQ(runAction(caller, request("{'kind': <byte 7>, 'deletePath': <" + quoted(doomed) +
                                        ">, 'shape': <(1, 'two', [3.0])>, 'path': <[byte 1]>, 'privileged': "
                                        "<'yes'>, 'nested': <{'a': 'b'}>}"))
                  .text(),
              "@a{sv} {}");
    EXPECT_FALSE(std::filesystem::exists(doomed));

    // No reply at all: the caller sees only its own short timeout.
    for (const char* silent : {"{'kind': <9>}", "{'kind': <10>}", "{'kind': <-1>}",
                               "{'kind': <0>, 'path': <'/nowhere/job.plist'>, 'plistString': <'x'>}"}) {
        Result result = runAction(caller, request(silent), silenceTimeout);
        EXPECT_TRUE(result.timedOut()) << silent << " gave " << result.text();
    }
    EXPECT_EQ(bus.fake.callCount(), 0u) << "a request missing an entry ran a command";

    // The wrong signature is refused by the bus layer, and the service goes on.
    Result wrong = callService(caller, "RunAction", g_variant_new("(s)", "kind"), nullptr, replyTimeout);
    EXPECT_EQ(wrong.remoteError(), "org.freedesktop.DBus.Error.InvalidArgs");
    Result again = listenerEndpoint(caller);
    EXPECT_EQ(again.text(), endpoint.text());
}

TEST_F(ServiceBus, JobsThroughLaunchctl) {
    GDBusConnection* caller = bus.connect();
    const std::string job = files / "job.plist";
    const std::string old = files / "old.plist";
    writeFile(old, "old");

    // saveAndLoadJob: no file yet, so no unload; remove by label, write, load, then delete "deletePath".
    EXPECT_EQ(runAction(caller,
                        request("{'kind': <1>, 'path': <" + quoted(job) + ">, 'label': <'app.job'>, " +
                                "'plistString': <'<plist>ü</plist>'>, 'deletePath': <" + quoted(old) + ">}"))
                  .text(),
              "@a{sv} {}");
    EXPECT_EQ(readFile(job), "<plist>ü</plist>");
    EXPECT_FALSE(std::filesystem::exists(old));
    using Calls = std::vector<std::vector<std::string>>;
    EXPECT_EQ(bus.fake.calls(), (Calls{{"remove", "app.job"}, {"load", "-w", job}}));

    // A failing load comes back as code 5.
    bus.fake.setStatus("load", 1);
    EXPECT_EQ(runAction(caller, request("{'kind': <5>, 'path': <" + quoted(job) + ">}")).text(),
              "{'error': <{'code': <int64 5>, 'domain': <'QuorvelActionErrorDomain'>}>}");

    // unloadJob with a label unloads and removes; without one it only unloads.
    EXPECT_EQ(runAction(caller, request("{'kind': <4>, 'path': <" + quoted(job) + ">, 'label': <'app.job'>}"))
                  .text(),
              "@a{sv} {}");
    EXPECT_EQ(runAction(caller, request("{'kind': <4>, 'path': <" + quoted(job) + ">}")).text(), "@a{sv} {}");
    Calls calls = bus.fake.calls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(Calls(calls.begin() + 3, calls.end()),
              (Calls{{"unload", "-w", job}, {"remove", "app.job"}, {"unload", "-w", job}}));

    // testJob: the status query finds exit status 78, launchctl explains it, the output file follows.
    const std::string testPath = files / "test.plist";
    const std::string outputPath = files / "test.out";
    writeFile(outputPath, "job output");
    bus.fake.setOutput("list", "PID\tStatus\tLabel\n-\t78\tapp.test\n");
    bus.fake.setOutput("error", "78: Function not implemented\n");
    EXPECT_EQ(runAction(caller, request("{'kind': <6>, 'plistString': <'<plist/>'>, 'testPath': <" +
                                        quoted(testPath) + ">, 'testOutputPath': <" + quoted(outputPath) +
                                        ">, 'label': <'app.test'>}"))
                  .text(),
              "{'test': <'78: Function not implemented\\n\\njob output'>}");
    EXPECT_FALSE(std::filesystem::exists(testPath));
    EXPECT_FALSE(std::filesystem::exists(outputPath));
    EXPECT_EQ(bus.fake.calls().back(), (std::vector<std::string>{"error", "78\n"}));

    // What the load prints is the test text; a NUL byte in it cannot cross the bus and becomes U+FFFD.
    bus.fake.setOutput("load", std::string("bad\0plist\n", 10));
    EXPECT_EQ(runAction(caller, request("{'kind': <6>, 'plistString': <'<plist/>'>, 'testPath': <" +
                                        quoted(testPath) + ">, 'testOutputPath': <" + quoted(outputPath) +
                                        ">, 'label': <'app.test'>}"))
                  .text(),
              "{'test': <'bad\xEF\xBF\xBDplist\\n'>}");
}

TEST_F(ServiceBus, QuitEndsTheProcessAndTheNextCallStartsAnother) {
    GDBusConnection* caller = bus.connect();
    ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto first = bus.ownerPid();
    ASSERT_TRUE(first);

    // Privileged or not, quit ends the process without a reply and without a check.
    Result quit = runAction(caller, request("{'kind': <3>, 'privileged': <true>}"));
    EXPECT_FALSE(quit.answered()) << quit.text();
    EXPECT_TRUE(waitFor([&] { return PrivateBus::hasEnded(*first); }));

    ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto second = bus.ownerPid();
    ASSERT_TRUE(second);
    EXPECT_NE(*second, *first);

    // A completed helper tool removal ends it the same way (no helper files exist here).
    Result removal = runAction(caller, request("{'kind': <8>}"));
    EXPECT_FALSE(removal.answered()) << removal.text();
    EXPECT_TRUE(waitFor([&] { return PrivateBus::hasEnded(*second); }));
    EXPECT_EQ(bus.fake.calls().back().front(), "remove");
}

TEST_F(ServiceBus, RefusedPrivilegedRequestRepliesThenEnds) {
    GDBusConnection* caller = bus.connect();
    const std::string kept = files / "kept";
    writeFile(kept, "x");
    ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto first = bus.ownerPid();
    ASSERT_TRUE(first);

    // Linux has no authority: every external form is refused.
    std::string bytes = "[byte 0";
    for (int i = 1; i < 32; ++i) {
        bytes += ", " + std::to_string(i);
    }
    bytes += "]";
    EXPECT_EQ(runAction(caller, request("{'kind': <7>, 'privileged': <true>, 'authData': <" + bytes +
                                        ">, 'deletePath': <" + quoted(kept) + ">}"))
                  .text(),
              codeOne);
    EXPECT_TRUE(std::filesystem::exists(kept));
    // The very next call, sent at once, reaches a fresh service: the old one let go of the name first.
    EXPECT_EQ(runAction(caller, request("{'kind': <9>, 'privileged': <true>}")).text(), codeOne);
    EXPECT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto third = bus.ownerPid();
    ASSERT_TRUE(third);
    EXPECT_NE(*third, *first);
    EXPECT_TRUE(waitFor([&] { return PrivateBus::hasEnded(*first); }));
}

// A test output file far past what one bus message carries gives a bounded reply, and the service
// goes on serving; a refused path is refused with EINVAL.
TEST_F(ServiceBus, HostileTestRequestsGetBoundedReplies) {
    GDBusConnection* caller = bus.connect();
    const std::string testPath = files / "test.plist";
    const std::string outputPath = files / "test.out";
    constexpr std::size_t mebibyte = 1024 * 1024;
    writeFile(outputPath, std::string(2 * mebibyte, 'o'));
    std::filesystem::resize_file(outputPath, 70 * mebibyte);
    auto testRequest = [&](const std::string& output) {
        return request("{'kind': <6>, 'plistString': <'<plist/>'>, 'testPath': <" + quoted(testPath) +
                       ">, 'testOutputPath': <" + quoted(output) + ">, 'label': <'app.test'>}");
    };
    Result big = runAction(caller, testRequest(outputPath));
    ASSERT_TRUE(big.answered()) << big.text();
    const char* text = nullptr;
    ASSERT_TRUE(g_variant_lookup(big.value(), "test", "&s", &text));
    EXPECT_TRUE(std::string(text) == std::string(mebibyte, 'o') + "\n(" + std::to_string(69 * mebibyte) +
                                         " bytes of the output file left out)");
    EXPECT_FALSE(std::filesystem::exists(outputPath));

    EXPECT_EQ(runAction(bus.connect(), testRequest(files / "jobs/../test.out")).text(),
              "{'error': <{'code': <int64 22>, 'description': <'Invalid argument'>, "
              "'domain': <'NSPOSIXErrorDomain'>, 'suggestion': <''>}>}");
    EXPECT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
}

TEST_F(ServiceBus, CallerThreadsGoWhenTheCallersLeave) {
    GDBusConnection* stays = bus.connect();
    ASSERT_EQ(runAction(stays, request("@a{sv} {}")).text(), codeThree);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    const std::size_t before = threadCount(*pid);

    for (int i = 0; i < 6; ++i) {
        GError* error = nullptr;
        GDBusConnection* visitor = g_dbus_connection_new_for_address_sync(
            bus.address().c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        ASSERT_NE(visitor, nullptr) << error->message;
        EXPECT_EQ(runAction(visitor, request("@a{sv} {}")).text(), codeThree);
        // Left without an answer: nothing of the call may stay behind.
        EXPECT_TRUE(runAction(visitor, request("{'kind': <9>}"), silenceTimeout).timedOut());
        g_dbus_connection_close_sync(visitor, nullptr, nullptr);
        g_object_unref(visitor);
    }
    EXPECT_TRUE(waitFor([&] { return threadCount(*pid) <= before; }))
        << threadCount(*pid) << " threads, " << before << " before the visitors";
    EXPECT_EQ(runAction(stays, request("@a{sv} {}")).text(), codeThree);
}

TEST_F(ServiceBus, IdleCallersHoldNoThread) {
    GDBusConnection* first = bus.connect();
    ASSERT_EQ(runAction(first, request("@a{sv} {}")).text(), codeThree);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    const std::size_t before = threadCount(*pid);

    // Callers that stay on the bus but have nothing running cost no thread, so many of them cannot
    // run the service out of threads.
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(runAction(bus.connect(), request("@a{sv} {}")).text(), codeThree);
    }
    EXPECT_TRUE(waitFor([&] { return threadCount(*pid) <= before; }))
        << threadCount(*pid) << " threads, " << before << " after the first call";
    EXPECT_EQ(runAction(first, request("@a{sv} {}")).text(), codeThree);
}

// Whatever a message is (a request of any shape, a call of another member, a signal), the service holds it
// once and no more: its peak resident memory grows by at most twice the message. All on one service, whose
// high-water mark covers every message sent so far: the smaller messages come first.
TEST(ServiceBusMemory, EveryMessageCostsAtMostItsOwnSize) {
    // Freed memory goes back at once, as without the sanitizer.
    ActivatingBus bus("quarantine_size_mb=0");
    GDBusConnection* caller = bus.connect();
    ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    const long base = test_support::statusNumber(*pid, "VmHWM");
    RecordProperty("ServiceBaseKiB", std::to_string(base));
    LeanClient lean(bus.address());
    ASSERT_TRUE(lean.connected());

    constexpr std::size_t large = 32 * 1024 * 1024;
    // Requests: large enough to stand out of the sanitizer's own growth, small enough to build quickly.
    constexpr std::size_t size = large / 2;
    constexpr std::uint64_t timeout = 120'000'000; // millions of elements: generous for a busy machine
    const auto peakGrowth = [&](const std::string& what, std::size_t bound) {
        const long growth = test_support::statusNumber(*pid, "VmHWM") - base;
        RecordProperty("GrowthKiB " + what, std::to_string(growth));
        EXPECT_LE(growth, static_cast<long>(bound / 1024)) << what << ": peak grew by " << growth << " kB";
    };

    // RunAction requests (removeFile of a missing file) with what no request reads: under unknown keys, or
    // under known keys in types they are not read as. Each is read far enough to find kind and path.
    const std::string missing = "/nonexistent/quorvel-missing";
    const std::size_t tiny = size / 16 + 1;
    // Each shape appends its entries to the request's open a{sv}.
    using Shape = std::function<int(sd_bus_message*)>;
    const auto entry = [](const char* key, Shape value) -> Shape {
        return [key, value](sd_bus_message* m) {
            int r = sd_bus_message_open_container(m, 'e', "sv");
            r = r < 0 ? r : sd_bus_message_append_basic(m, 's', key);
            r = r < 0 ? r : value(m);
            return r < 0 ? r : sd_bus_message_close_container(m);
        };
    };
    const std::vector<std::pair<std::string, Shape>> shapes{
        {"tiny unknown keys",
         [&](sd_bus_message* m) {
             int r = 0;
             for (std::size_t i = 0; r >= 0 && i < tiny; ++i) {
                 r = sd_bus_message_append(m, "{sv}", "u", "y", 1);
             }
             return r;
         }},
        {"integers", entry("label",
                           [&](sd_bus_message* m) {
                               const std::vector<std::int64_t> numbers(size / 8);
                               int r = sd_bus_message_open_container(m, 'v', "ax");
                               if (r >= 0) {
                                   r = sd_bus_message_append_array(m, 'x', numbers.data(), size);
                               }
                               return r < 0 ? r : sd_bus_message_close_container(m);
                           })},
        {"tiny strings", entry("label",
                               [&](sd_bus_message* m) {
                                   int r = sd_bus_message_open_container(m, 'v', "as");
                                   r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "s");
                                   for (std::size_t i = 0; r >= 0 && i < size / 8; ++i) {
                                       r = sd_bus_message_append_basic(m, 's', "s");
                                   }
                                   r = r < 0 ? r : sd_bus_message_close_container(m);
                                   return r < 0 ? r : sd_bus_message_close_container(m);
                               })},
        {"short variants", entry("label",
                                 [&](sd_bus_message* m) {
                                     int r = sd_bus_message_open_container(m, 'v', "av");
                                     r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "v");
                                     for (std::size_t i = 0; r >= 0 && i < size / 8; ++i) {
                                         r = sd_bus_message_append(m, "v", "i", 7);
                                     }
                                     r = r < 0 ? r : sd_bus_message_close_container(m);
                                     return r < 0 ? r : sd_bus_message_close_container(m);
                                 })},
        {"nested", entry("path",
                         [&](sd_bus_message* m) {
                             // Dictionaries in variants, 20 deep, around one large text.
                             const std::string leaf(size, 'n');
                             int r = 0;
                             for (int level = 0; r >= 0 && level < 20; ++level) {
                                 r = sd_bus_message_open_container(m, 'v', "a{sv}");
                                 r = r < 0 ? r : sd_bus_message_open_container(m, 'a', "{sv}");
                                 r = r < 0 ? r : sd_bus_message_open_container(m, 'e', "sv");
                                 r = r < 0 ? r : sd_bus_message_append_basic(m, 's', "next");
                             }
                             r = r < 0 ? r : sd_bus_message_append(m, "v", "s", leaf.c_str());
                             for (int level = 0; r >= 0 && level < 20; ++level) {
                                 for (int container = 0; r >= 0 && container < 3; ++container) {
                                     r = sd_bus_message_close_container(m);
                                 }
                             }
                             return r;
                         })},
    };
    for (const auto& [name, shape] : shapes) {
        SCOPED_TRACE(name);
        std::int64_t code = -1;
        const std::string outcome = lean.call(
            QUORVEL_SERVICE_INTERFACE, "RunAction",
            [&](sd_bus_message* m) {
                int r = sd_bus_message_open_container(m, 'a', "{sv}");
                r = r < 0 ? r : sd_bus_message_append(m, "{sv}", "kind", "x", std::int64_t{7});
                r = r < 0 ? r : sd_bus_message_append(m, "{sv}", "deletePath", "s", missing.c_str());
                r = r < 0 ? r : shape(m);
                return r < 0 ? r : sd_bus_message_close_container(m);
            },
            timeout, &code);
        EXPECT_EQ(outcome, "");
        EXPECT_EQ(code, 2) << "removeFile of a missing file answers ENOENT";
        peakGrowth(name, 2 * size);
    }
    // Another member, and a signal sent to the service alone, of 2,097,153 entries: refused or dropped
    // unread, and a call behind the signal is answered.
    const std::size_t tinyLarge = large / 16 + 1;
    EXPECT_EQ(lean.call(
                  QUORVEL_SERVICE_INTERFACE, "Foo",
                  [&](sd_bus_message* m) { return tinyEntries(m, tinyLarge); }, timeout),
              "org.freedesktop.DBus.Error.UnknownMethod");
    peakGrowth("Foo", 2 * large);
    ASSERT_TRUE(
        lean.signal(bus.ownerName(), "Foo", [&](sd_bus_message* m) { return tinyEntries(m, tinyLarge); }));
    EXPECT_TRUE(listenerEndpoint(caller).answered());
    peakGrowth("signal", 2 * large);

    // A large job text is held twice at most: as the message while it is read, and as the request.
    test_support::TempFolder files{"quorvel-service-files"};
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; i += 4099) {
        text[i] = static_cast<char>('b' + i % 20);
    }
    const std::string job = files / "large.plist";
    EXPECT_EQ(lean.call(
                  QUORVEL_SERVICE_INTERFACE, "RunAction",
                  [&](sd_bus_message* m) {
                      return sd_bus_message_append(m, "a{sv}", 4, "kind", "x", std::int64_t{0}, "path", "s",
                                                   job.c_str(), "label", "s", "app.large", "plistString", "s",
                                                   text.c_str());
                  },
                  timeout),
              "");
    EXPECT_TRUE(readFile(job) == text) << "the file differs from the request's text";
    peakGrowth("large job text", 3 * size);
    EXPECT_EQ(bus.ownerPid(), pid) << "the service ended";
}

TEST_F(ServiceBus, TooLargeATestReplyIsAnsweredAndTheServiceGoesOn) {
    GDBusConnection* tester = bus.connect();
    GDBusConnection* other = bus.connect();
    ASSERT_EQ(runAction(other, request("@a{sv} {}")).text(), codeThree);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);
    const std::string testPath = files / "test.plist";
    const std::string outputPath = files / "test.out";
    {
        std::ofstream output(outputPath, std::ios::binary);
        const std::string line(1023, 'o');
        for (int i = 0; i < 70 * 1024; ++i) {
            output << line << '\n';
        }
    }
    Result tested = runAction(tester, request("{'kind': <6>, 'plistString': <'<plist/>'>, 'testPath': <" +
                                              quoted(testPath) + ">, 'testOutputPath': <" +
                                              quoted(outputPath) + ">, 'label': <'app.test'>}"));
    // Either the text is cut to a size the bus carries, or the caller hears that it was too large.
    if (tested.answered()) {
        EXPECT_LT(g_variant_get_size(tested.value()), std::size_t{32} << 20);
    } else {
        EXPECT_EQ(tested.remoteError(), "org.freedesktop.DBus.Error.LimitsExceeded") << tested.text();
    }
    EXPECT_FALSE(std::filesystem::exists(testPath));
    EXPECT_FALSE(std::filesystem::exists(outputPath));
    EXPECT_EQ(runAction(other, request("@a{sv} {}")).text(), codeThree);
    EXPECT_EQ(runAction(tester, request("@a{sv} {}")).text(), codeThree);
    EXPECT_EQ(bus.ownerPid(), pid) << "the service ended";
}

TEST_F(ServiceBus, WatchesOnlyItsCallersLeaving) {
    // A monitor sees the match rules the service asks the bus for.
    GDBusConnection* monitor = bus.connect();
    struct Seen {
        std::mutex mutex;
        std::vector<std::pair<std::string, std::string>> rules; // (AddMatch or RemoveMatch, rule)
    } seen;
    const guint filter = g_dbus_connection_add_filter(
        monitor,
        [](GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer data) -> GDBusMessage* {
            const char* member = g_dbus_message_get_member(message);
            GVariant* body = g_dbus_message_get_body(message);
            if (incoming && member != nullptr && body != nullptr &&
                g_variant_is_of_type(body, G_VARIANT_TYPE("(s)")) &&
                (std::strcmp(member, "AddMatch") == 0 || std::strcmp(member, "RemoveMatch") == 0)) {
                auto& record = *static_cast<Seen*>(data);
                const gchar* rule = nullptr;
                g_variant_get(body, "(&s)", &rule);
                std::lock_guard lock(record.mutex);
                record.rules.emplace_back(member, rule);
            }
            // A monitor must not answer the calls it sees.
            if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
                g_object_unref(message);
                return nullptr;
            }
            return message;
        },
        &seen, nullptr);
    GVariant* became = g_dbus_connection_call_sync(
        monitor, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus.Monitoring",
        "BecomeMonitor",
        g_variant_new_parsed("(['type=\\'method_call\\',member=\\'AddMatch\\'', "
                             "'type=\\'method_call\\',member=\\'RemoveMatch\\''], uint32 0)"),
        nullptr, G_DBUS_CALL_FLAGS_NONE, replyTimeout, nullptr, nullptr);
    ASSERT_NE(became, nullptr);
    g_variant_unref(became);

    GDBusConnection* first = bus.connect();
    GDBusConnection* second = bus.connect();
    ASSERT_EQ(runAction(first, request("@a{sv} {}")).text(), codeThree);
    ASSERT_EQ(runAction(second, request("@a{sv} {}")).text(), codeThree);
    const std::string firstName = g_dbus_connection_get_unique_name(first);
    const std::string secondName = g_dbus_connection_get_unique_name(second);
    auto rulesFor = [&](const std::string& member, const std::string& name) {
        std::lock_guard lock(seen.mutex);
        std::size_t count = 0;
        for (const auto& [kind, rule] : seen.rules) {
            count += kind == member && rule.find("NameOwnerChanged") != std::string::npos &&
                     rule.find("arg0='" + name + "'") != std::string::npos;
        }
        return count;
    };
    EXPECT_TRUE(waitFor(
        [&] { return rulesFor("AddMatch", firstName) == 1 && rulesFor("AddMatch", secondName) == 1; }));

    g_dbus_connection_close_sync(second, nullptr, nullptr);
    EXPECT_TRUE(waitFor([&] { return rulesFor("RemoveMatch", secondName) == 1; }));
    EXPECT_EQ(runAction(first, request("@a{sv} {}")).text(), codeThree);
    std::lock_guard lock(seen.mutex);
    for (const auto& [kind, rule] : seen.rules) {
        if (rule.find("NameOwnerChanged") != std::string::npos) {
            EXPECT_NE(rule.find("arg0="), std::string::npos) << kind << " " << rule;
        }
    }
    g_dbus_connection_remove_filter(monitor, filter);
}

} // namespace
} // namespace service_bus
