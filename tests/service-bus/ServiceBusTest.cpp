// The action service end to end: activated on a private bus, called as the main application calls it.
#include "ActivatingBus.hpp"
#include "BusClient.hpp"

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

// A line of /proc/<pid>/status as a number (kB for memory lines).
long statusNumber(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
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

// An array of `count` elements, element(i) each in serialized form at a multiple of `alignment`, made in
// serialized form: built element by element it would cost this process many times its size.
GVariant* framedArray(const char* type, std::size_t count, std::size_t alignment,
                      const std::function<std::string(std::size_t)>& element) {
    const auto aligned = [alignment](std::size_t offset) {
        return (offset + alignment - 1) / alignment * alignment;
    };
    std::size_t elements = 0;
    for (std::size_t i = 0; i < count; ++i) {
        elements = aligned(elements) + element(i).size();
    }
    // Framing offsets at the end, each as wide as the whole array needs.
    std::size_t width = 1;
    while (width < 8 && elements + width * count >= (std::size_t{1} << (8 * width))) {
        width *= 2;
    }
    const std::size_t size = elements + width * count;
    auto* bytes = static_cast<char*>(g_malloc0(size));
    std::size_t end = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string serialized = element(i);
        end = aligned(end);
        std::memcpy(bytes + end, serialized.data(), serialized.size());
        end += serialized.size();
        for (std::size_t b = 0; b < width; ++b) {
            bytes[elements + i * width + b] = static_cast<char>((end >> (8 * b)) & 0xFF);
        }
    }
    return g_variant_new_from_data(G_VARIANT_TYPE(type), bytes, size, TRUE, g_free, bytes);
}

// A value's serialized form.
std::string serialized(GVariant* value) {
    g_variant_ref_sink(value);
    std::string bytes(static_cast<const char*>(g_variant_get_data(value)), g_variant_get_size(value));
    g_variant_unref(value);
    return bytes;
}

// Dictionaries in variants, `levels` deep, around the leaf.
GVariant* nested(int levels, GVariant* leaf) {
    GVariant* value = leaf;
    for (int i = 0; i < levels; ++i) {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&builder, "{sv}", "next", value);
        value = g_variant_builder_end(&builder);
    }
    return value;
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

TEST(ServiceBusMemory, LargeWriteStaysWithinFourTimesTheRequest) {
    // The bound is the program's: AddressSanitizer's quarantine would keep what the program freed
    // resident, so here freed memory goes back at once.
    ActivatingBus bus("quarantine_size_mb=0");
    test_support::TempFolder files{"quorvel-service-files"};
    GDBusConnection* caller = bus.connect();
    ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid);

    RecordProperty("ServiceBaseKiB", std::to_string(statusNumber(*pid, "VmHWM")));
    constexpr std::size_t size = 50 * 1024 * 1024;
    std::string text(size, 'a');
    for (std::size_t i = 0; i < size; i += 4099) {
        text[i] = static_cast<char>('b' + i % 20);
    }
    const std::string job = files / "large.plist";
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&builder, "{sv}", "kind", g_variant_new_int64(0));
    g_variant_builder_add(&builder, "{sv}", "path", g_variant_new_string(job.c_str()));
    g_variant_builder_add(&builder, "{sv}", "label", g_variant_new_string("app.large"));
    g_variant_builder_add(&builder, "{sv}", "plistString", g_variant_new_string(text.c_str()));
    EXPECT_EQ(runAction(caller, g_variant_builder_end(&builder)).text(), "@a{sv} {}");
    EXPECT_TRUE(readFile(job) == text) << "the file differs from the request's text";
    const long peak = statusNumber(*pid, "VmHWM");
    RecordProperty("ServicePeakKiB", std::to_string(peak));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, static_cast<long>(4 * size / 1024)) << "peak resident memory " << peak << " kB";
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

TEST(ServiceBusMemory, EveryRequestShapeStaysWithinFourTimesTheRequest) {
    ActivatingBus bus("quarantine_size_mb=0");
    GDBusConnection* caller = bus.connect();
    constexpr std::size_t size = 48 * 1024 * 1024;
    const std::string missing = "/nonexistent/quorvel-missing";
    // removeFile of a missing file, then the shape's entries: each under a key the service never reads, or
    // a known key in a type it is not read as.
    const auto removal = [&](const std::function<void(GVariantBuilder&)>& add) {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&builder, "{sv}", "kind", g_variant_new_int64(7));
        g_variant_builder_add(&builder, "{sv}", "deletePath", g_variant_new_string(missing.c_str()));
        add(builder);
        return g_variant_builder_end(&builder);
    };
    const auto entry = [](const std::string& key, GVariant* value) {
        return serialized(
            g_variant_new_dict_entry(g_variant_new_string(key.c_str()), g_variant_new_variant(value)));
    };
    const std::vector<std::pair<std::string, std::function<GVariant*()>>> shapes{
        {"integers",
         [&] {
             return removal([](GVariantBuilder& request) {
                 auto* numbers = static_cast<gint64*>(g_malloc0(size));
                 g_variant_builder_add(
                     &request, "{sv}", "numbers",
                     g_variant_new_from_data(G_VARIANT_TYPE("ax"), numbers, size, TRUE, g_free, numbers));
             });
         }},
        {"strings",
         [&] {
             return removal([](GVariantBuilder& request) {
                 // Each element held by GDBus as an object of its own, some 150 bytes.
                 g_variant_builder_add(&request, "{sv}", "label",
                                       framedArray("as", size / 9, 1, [](std::size_t i) {
                                           return std::string(1 + i % 8, 's') + '\0';
                                       }));
             });
         }},
        {"short variants",
         [&] {
             return removal([](GVariantBuilder& request) {
                 const std::string element = serialized(g_variant_new_variant(g_variant_new_int32(7)));
                 g_variant_builder_add(&request, "{sv}", "numbers",
                                       framedArray("av", size / 12, 8, [&](std::size_t) { return element; }));
             });
         }},
        {"nested",
         [&] {
             return removal([](GVariantBuilder& request) {
                 const std::string leaf(size, 'n');
                 g_variant_builder_add(&request, "{sv}", "path",
                                       nested(20, g_variant_new_string(leaf.c_str())));
             });
         }},
        {"unknown keys",
         [&] {
             return removal([](GVariantBuilder& request) {
                 const std::string value(10 * 1024, 'u');
                 for (std::size_t i = 0; i < size / value.size(); ++i) {
                     g_variant_builder_add(&request, "{sv}", ("key" + std::to_string(i)).c_str(),
                                           g_variant_new_string(value.c_str()));
                 }
             });
         }},
        {"tiny unknown keys",
         [&] {
             // A million entries of a byte under a key of its own, some 24 bytes each.
             const std::vector<std::string> known{entry("kind", g_variant_new_int64(7)),
                                                  entry("deletePath", g_variant_new_string(missing.c_str()))};
             std::string tiny = entry("u0000000", g_variant_new_byte(1));
             return framedArray("a{sv}", known.size() + 1000000, 8, [&](std::size_t i) {
                 if (i < known.size()) {
                     return known[i];
                 }
                 const std::string digits = std::to_string(10000000 + i);
                 std::memcpy(tiny.data() + 1, digits.data() + 1, 7);
                 return tiny;
             });
         }},
    };
    for (const auto& [name, make] : shapes) {
        SCOPED_TRACE(name);
        ASSERT_EQ(runAction(caller, request("@a{sv} {}")).text(), codeThree);
        const auto pid = bus.ownerPid();
        ASSERT_TRUE(pid);
        GVariant* built = g_variant_ref_sink(make());
        const std::size_t requestSize = g_variant_get_size(built);
        // Millions of elements take this process and the bus a while to pass on, longer on a busy machine.
        Result removed = runAction(caller, built, 6 * replyTimeout);
        g_variant_unref(built);
        EXPECT_NE(removed.text().find("'code': <int64 2>"), std::string::npos)
            << removed.text().substr(0, 300);
        const long peak = statusNumber(*pid, "VmHWM");
        RecordProperty("PeakKiB " + name, std::to_string(peak));
        EXPECT_LT(peak, static_cast<long>(4 * requestSize / 1024))
            << "peak resident memory " << peak << " kB";
        // The next shape gets a fresh service.
        EXPECT_FALSE(runAction(caller, request("{'kind': <3>}"), silenceTimeout).answered());
        EXPECT_TRUE(waitFor([&] { return PrivateBus::hasEnded(*pid); }));
    }
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
