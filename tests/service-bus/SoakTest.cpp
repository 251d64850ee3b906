// The service under a long run of ordinary work: requests of every kind from 8 callers (5,600 in every
// suite, 10,000 in a full soak). After them its descriptors, threads and children are back at their
// level and its memory has not grown.
#include "ActivatingBus.hpp"
#include "BusClient.hpp"
#include "ChildProcess.hpp"
#include "FolderEntries.hpp"
#include "SoakLength.hpp"

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace service_bus {
namespace {

namespace fs = std::filesystem;
using test_support::entriesIn;
using test_support::waitFor;

// Processes whose parent is pid, zombies included.
std::size_t childrenOf(pid_t pid) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        // pid (name) state ppid ...: the name may hold blanks, so read after its closing parenthesis.
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        std::string state;
        long parent = 0;
        rest >> state >> parent;
        count += parent == pid ? 1 : 0;
    }
    return count;
}

struct Level {
    std::size_t descriptors, threads, children;
    long resident;
};

Level levelOf(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    return {entriesIn(proc + "/fd"), entriesIn(proc + "/task"), childrenOf(pid),
            test_support::statusNumber(pid, "VmRSS")};
}

// A request that never gets a reply, sent without waiting for one.
void sendUnanswered(GDBusConnection* caller, GVariant* request) {
    g_dbus_connection_call(caller, QUORVEL_SERVICE_BUS_NAME, QUORVEL_SERVICE_OBJECT_PATH,
                           QUORVEL_SERVICE_INTERFACE, "RunAction", g_variant_new_tuple(&request, 1), nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
}

TEST(ServiceSoak, ThousandsOfRequestsLeaveNoDescriptorThreadChildOrMemoryBehind) {
    // The fake launchctl exits at once; freed memory is not held back by the sanitizer.
    ActivatingBus bus("quarantine_size_mb=0", false);
    test_support::TempFolder files("quorvel-soak");
    constexpr int callers = 8;
    const int perCaller = test_support::soakLength(700, 1250);
    constexpr int warmUp = 400;

    // One caller's n-th request: every kind, the slow ones (fixed waits) one in forty.
    auto requestFor = [&](int caller, int n) -> std::string {
        const std::string folder = (files.path() / std::to_string(caller)).string();
        const std::string job = quoted(folder + "/job" + std::to_string(n % 7) + ".plist");
        const std::string text = quoted("<plist><dict><key>Label</key><string>soak</string></dict></plist>");
        switch (n % 40) {
        case 0:
            return "{'kind': <0>, 'plistString': <" + text + ">, 'path': <" + job + ">, 'label': <'soak'>}";
        case 10:
            return "{'kind': <1>, 'plistString': <" + text + ">, 'path': <" + job + ">, 'label': <'soak'>}";
        case 20:
            return "{'kind': <2>, 'deletePath': <" + job + ">, 'label': <'soak'>}";
        case 30:
            return "{'kind': <6>, 'plistString': <" + text + ">, 'testPath': <" + job +
                   ">, 'testOutputPath': <" + quoted(folder + "/out") + ">, 'label': <'soak'>}";
        default:
            switch (n % 5) {
            case 0:
                return "{'kind': <4>, 'path': <" + job + ">, 'label': <'soak'>}";
            case 1:
                return "{'kind': <5>, 'path': <" + job + ">}";
            case 2:
                return "{'kind': <7>, 'deletePath': <" + job + ">}";
            case 3:
                return "{'kind': <4>, 'path': <'relative/../path'>}"; // refused: EINVAL
            default:
                return "{'label': <'no kind'>}"; // code 3
            }
        }
    };

    std::array<GDBusConnection*, callers> connections{};
    for (int c = 0; c < callers; ++c) {
        connections[static_cast<std::size_t>(c)] = bus.connect();
        fs::create_directory(files.path() / std::to_string(c));
    }
    std::atomic<int> unanswered{0};
    auto run = [&](int from, int to) {
        std::vector<std::thread> threads;
        for (int c = 0; c < callers; ++c) {
            threads.emplace_back([&, c] {
                GDBusConnection* caller = connections[static_cast<std::size_t>(c)];
                for (int n = from; n < to; ++n) {
                    if (n % 97 == 0) {
                        sendUnanswered(caller, request("{'kind': <9>}")); // no reply, by design
                    }
                    if (!runAction(caller, request(requestFor(c, n))).answered()) {
                        ++unanswered;
                    }
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
    };

    run(0, warmUp);
    const auto pid = bus.ownerPid();
    ASSERT_TRUE(pid.has_value());
    // Idle callers' threads go after a while: the level is that of a service at rest.
    const Level before = levelOf(*pid);
    run(warmUp, perCaller);
    EXPECT_EQ(unanswered.load(), 0);
    EXPECT_EQ(bus.ownerPid(), pid) << "the service ended during the run";

    const bool settled = waitFor(
        [&] {
            const Level now = levelOf(*pid);
            return now.descriptors <= before.descriptors && now.threads <= before.threads &&
                   now.children == 0;
        },
        std::chrono::seconds(30));
    const Level after = levelOf(*pid);
    EXPECT_TRUE(settled) << "descriptors " << before.descriptors << " -> " << after.descriptors
                         << ", threads " << before.threads << " -> " << after.threads << ", children "
                         << after.children;
    EXPECT_LT(after.resident - before.resident, 2048)
        << "resident " << before.resident << " kB -> " << after.resident << " kB";
}

} // namespace
} // namespace service_bus
