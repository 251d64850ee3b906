// Times the agent's scan of a folder of job files, a full one and a re-check with nothing changed, against
// md5sum over the same files in the same run, and prints the ratios; also the heap a snapshot holds per job.
// bench/scan drives it.
#include "JobFolders.hpp"
#include "MonitorFolders.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <malloc.h>
#include <string>

namespace {

using namespace agent;
using Clock = std::chrono::steady_clock;

struct Idle final : MonitorFactory, MainQueue, Sleeper, Timer, Workspace, NotificationCenter {
    std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) override {
        return std::make_shared<mortar::SingleFolderMonitor>(url);
    }
    void async(std::function<void()>) override {}
    void sleepFor(std::chrono::nanoseconds) override {}
    void after(std::chrono::nanoseconds, std::function<void()>) override {}
    std::optional<std::string> menuBarOwnerLocalizedName() override { return std::nullopt; }
    bool openURL(const std::string&) override { return false; }
    bool launchApplication(const std::string&) override { return false; }
    void setDelegate(std::weak_ptr<NotificationCenterDelegate>) override {}
    void deliver(const UserNotification&) override {}
};

// Bytes the C library's allocator has handed out and not had back.
std::size_t heapInUse() {
    return mallinfo2().uordblks;
}

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: agent_scan_bench <folder of job files> [rounds=5]\n");
        return 2;
    }
    const std::filesystem::path agents = argv[1];
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;

    Idle idle;
    auto access = makeFileAccess();
    auto parser = makePropertyListParser();
    gantry::Crypto crypto(gantry::makeMd5);
    mortar::Limit limit(idle);
    mortar::Interface interface(idle, false);
    MonitorList monitors;
    auto makeAgent = [&] {
        return std::make_shared<MonitorFolders>(
            AgentPlatform{*access, *parser, crypto, idle, idle, idle, limit, idle, idle, interface},
            AgentPlaces{{agents / ""},
                        agents / "none" / "Exceptions.plist",
                        "/nonexistent",
                        std::nullopt,
                        "",
                        monitors});
    };

    // md5sum reads the file list from xargs, so that any number of files fits.
    const std::string md5sum =
        "cd '" + agents.string() + "' && find . -maxdepth 1 -type f -print0 | xargs -0 md5sum > /dev/null";
    double fullBest = 1e9;
    double recheckBest = 1e9;
    double md5Best = 1e9;
    std::size_t found = 0;
    for (int round = 0; round < rounds; ++round) {
        // A full scan: an agent that has read nothing yet.
        auto fresh = makeAgent();
        auto start = Clock::now();
        found = fresh->scanJobFolders().size();
        fullBest = std::min(fullBest, seconds(Clock::now() - start));
        // A check after the baseline with nothing changed: every file is recognised by its status.
        fresh->startMonitoring();
        start = Clock::now();
        fresh->scanJobFolders();
        recheckBest = std::min(recheckBest, seconds(Clock::now() - start));
        start = Clock::now();
        if (std::system(md5sum.c_str()) != 0) {
            std::fprintf(stderr, "md5sum failed\n");
            return 1;
        }
        md5Best = std::min(md5Best, seconds(Clock::now() - start));
    }
    // The heap one more snapshot holds, beside the baseline the agent keeps.
    auto held = makeAgent();
    held->startMonitoring();
    const auto heapBefore = heapInUse();
    const auto snapshot = held->scanJobFolders();
    const auto snapshotBytes = heapInUse() - heapBefore;
    std::printf("%zu files, best of %d\n", found, rounds);
    std::printf("  full scan (digest + label):      %9.4f s\n", fullBest);
    std::printf("  re-check scan (nothing changed): %9.4f s\n", recheckBest);
    std::printf("  md5sum over the same files:      %9.4f s\n", md5Best);
    const double perFile = 1e6 / static_cast<double>(std::max<std::size_t>(found, 1));
    std::printf("  per file: full %.2f us, re-check %.2f us, md5sum %.2f us\n", fullBest * perFile,
                recheckBest * perFile, md5Best * perFile);
    std::printf("  snapshot heap: %zu bytes per job (%zu jobs)\n",
                snapshotBytes / std::max<std::size_t>(snapshot.size(), 1), snapshot.size());
    std::printf("  ratio full scan / md5sum:        %9.2f\n", fullBest / md5Best);
    std::printf("  ratio re-check scan / md5sum:    %9.2f\n", recheckBest / md5Best);
    return 0;
}
