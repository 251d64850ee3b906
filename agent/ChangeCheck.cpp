#include "MonitorFolders.hpp"
#include "frameworks/FreedMemory.hpp"

#include <algorithm>

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
    for (const auto& [path, job] : jobs) {
        const auto stored = lastCheckedJobs_.find(path);
        if (stored == lastCheckedJobs_.end()) {
            postNotification(path, Kind::new_);
            continue;
        }
        // The contents decide, whatever the dates: a date can be kept over new contents (a link retargeted,
        // a copy that keeps dates), and a touch leaves the contents alone.
        if (stored->second.checksum != job.checksum) {
            postNotification(path, Kind::modified);
        }
    }
    const auto excepted = exceptions();
    for (const auto& [path, stored] : lastCheckedJobs_) {
        if (jobs.contains(path)) {
            continue;
        }
        if (std::find(excepted.begin(), excepted.end(), stored.label) != excepted.end()) {
            continue;
        }
        postNotification(path, Kind::deleted);
    }
    lastCheckedJobs_ = std::move(jobs);
    returnFreedMemory();
}

} // namespace agent
