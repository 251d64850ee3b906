#pragma once

#include "WatchPlan.hpp"
#include "frameworks/MonitorFactory.hpp"
#include "frameworks/Mortar.hpp"

#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace agent {

// Watches one folder with inotify on a thread of its own and reports every change of its entries and of
// the files in it. A missing folder is watched for from its nearest existing ancestor; a folder deleted
// and made again is watched again. The folders above are watched too, so that renaming one of them, or
// replacing the folder (or a link on its way) by another, moves the watch to what the path names now.
// Destroying the monitor wakes the thread, joins it and closes its descriptors.
class InotifyFolderMonitor final : public mortar::SingleFolderMonitor {
public:
    explicit InotifyFolderMonitor(std::filesystem::path url);
    ~InotifyFolderMonitor() override;
    InotifyFolderMonitor(const InotifyFolderMonitor&) = delete;
    InotifyFolderMonitor& operator=(const InotifyFolderMonitor&) = delete;

    // The folder the monitor watches now (the target or an ancestor); for tests.
    std::filesystem::path watchedFolder() const;

private:
    // Watches the target if it is a folder, else its nearest existing ancestor, and every folder above
    // it. True when the target is watched.
    bool arm();
    bool addWatch(const std::filesystem::path& folder, bool isTarget);
    void removeWatches();
    // Handles one batch of events; true when the folder's contents may have changed.
    bool readEvents();
    void run();

    WatchPlan plan_;
    int inotify_ = -1;
    int wake_ = -1;
    struct Watch {
        int descriptor;
        std::filesystem::path folder;
        bool isTarget;
    };
    // One descriptor may appear twice when links make two folders of the path one.
    std::vector<Watch> watches_;
    bool watchingTarget_ = false;
    mutable std::mutex stateMutex_;
    std::filesystem::path watchedFolder_;
    std::thread thread_;
};

class InotifyMonitorFactory final : public MonitorFactory {
public:
    std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) override;
};

} // namespace agent
