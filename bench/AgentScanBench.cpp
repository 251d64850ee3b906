// Times scanJobFolders over N job files against md5sum over the same files, in the same run, and prints
// the ratio. Usage: agent_scan_bench [files=2000] [bytes-per-file=4096] [rounds=5]
#include "JobFolders.hpp"
#include "MonitorFolders.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

} // namespace

int main(int argc, char** argv) {
    const long files = argc > 1 ? std::atol(argv[1]) : 2000;
    const long bytes = argc > 2 ? std::atol(argv[2]) : 4096;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;

    char pattern[] = "/tmp/quorvel-bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::filesystem::path root = pattern;
    const auto agents = root / "LaunchAgents";
    std::filesystem::create_directories(agents);
    for (long k = 0; k < files; ++k) {
        const std::string label = "org.example.job" + std::to_string(k);
        std::string body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                           "<key>Label</key><string>" +
                           label + "</string>\n<key>Program</key><string>/usr/bin/true</string>\n";
        while (static_cast<long>(body.size()) < bytes - 20) {
            body += "<key>K" + std::to_string(body.size()) + "</key><true/>\n";
        }
        std::ofstream(agents / (label + ".plist")) << body << "</dict>\n</plist>\n";
    }

    Idle idle;
    auto access = makeFileAccess();
    auto parser = makePropertyListParser();
    gantry::Crypto crypto(gantry::makeMd5);
    mortar::Limit limit(idle);
    mortar::Interface interface(idle, false);
    MonitorList monitors;
    MonitorFolders monitorFolders(
        AgentPlatform{*access, *parser, crypto, idle, idle, idle, limit, idle, idle, interface},
        AgentPlaces{{agents / ""}, root / "Exceptions.plist", "/nonexistent", std::nullopt, "", monitors});

    const std::string md5sum = "cd '" + root.string() + "/LaunchAgents' && md5sum -- * > /dev/null";
    double scanBest = 1e9;
    double md5Best = 1e9;
    std::size_t found = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = Clock::now();
        found = monitorFolders.scanJobFolders().size();
        scanBest = std::min(scanBest, seconds(Clock::now() - start));
        start = Clock::now();
        if (std::system(md5sum.c_str()) != 0) {
            std::fprintf(stderr, "md5sum failed\n");
            return 1;
        }
        md5Best = std::min(md5Best, seconds(Clock::now() - start));
    }
    std::filesystem::remove_all(root);
    std::printf("files %ld, %ld bytes each, best of %d\n", files, bytes, rounds);
    std::printf("scanJobFolders (digest + label): %.4f s (%zu jobs)\n", scanBest, found);
    std::printf("md5sum over the same files:      %.4f s\n", md5Best);
    std::printf("ratio scan / md5sum:             %.2f\n", scanBest / md5Best);
    return found == static_cast<std::size_t>(files) ? 0 : 1;
}
