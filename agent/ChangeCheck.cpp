#include "MonitorFolders.hpp"
#include "frameworks/FreedMemory.hpp"

namespace agent {

namespace {

// URLs are equal when their paths are, after removing a trailing separator.
std::string withoutTrailingSeparator(const std::filesystem::path& url) {
    std::string text = url.string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

constexpr const char* limitIdentifier = "AgentMonitor";

} // namespace

void MonitorFolders::folderDidChange(const std::filesystem::path& url) {
    if (withoutTrailingSeparator(url) == withoutTrailingSeparator(places_.exceptionsFileURL.parent_path())) {
        readExceptions();
        return;
    }
    // The queue and the sleeper are process-wide and outlive this object; the object itself is held weakly.
    MainQueue& mainQueue = platform_.mainQueue;
    Sleeper& sleeper = platform_.sleeper;
    const auto pause = places_.pauseBeforeCheck;
    platform_.limit.interval(limitIdentifier, places_.limitDuration,
                             [weak = weak_from_this(), &mainQueue, &sleeper, pause] {
                                 mainQueue.async([weak, &sleeper, pause] {
                                     sleeper.sleepFor(pause);
                                     if (auto self = weak.lock()) {
                                         self->checkJobs();
                                     }
                                 });
                             });
}

void MonitorFolders::checkJobs() {
    Snapshot jobs = scanJobFolders();
    // Both snapshots keep each folder's jobs by name, so each folder is one walk of both.
    for (const auto& folder : jobs.folders()) {
        const SnapshotFolder* stored = lastCheckedJobs_.folder(folder.path);
        std::size_t before = 0;
        for (const auto& job : folder.jobs) {
            const auto name = folder.name(job);
            const StoredJob* known = stored != nullptr ? stored->findFrom(name, before) : nullptr;
            if (known == nullptr) {
                postNotification(folder.path + std::string(name), Kind::new_);
                continue;
            }
            // The contents decide, whatever the dates: a date can be kept over new contents (a link
            // retargeted, a copy that keeps dates), and a touch leaves the contents alone.
            if (known->checksum != job.checksum) {
                postNotification(folder.path + std::string(name), Kind::modified);
            }
        }
    }
    for (const auto& folder : lastCheckedJobs_.folders()) {
        const SnapshotFolder* now = jobs.folder(folder.path);
        std::size_t after = 0;
        for (const auto& stored : folder.jobs) {
            const auto name = folder.name(stored);
            if (now != nullptr && now->findFrom(name, after) != nullptr) {
                continue;
            }
            if (isExcepted(std::string(folder.label(stored)))) {
                continue;
            }
            postNotification(folder.path + std::string(name), Kind::deleted);
        }
    }
    lastCheckedJobs_ = std::move(jobs);
    returnFreedMemory();
}

} // namespace agent
