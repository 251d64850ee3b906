#include "MonitorFolders.hpp"

#include "JobFolders.hpp"
#include "MainBundle.hpp"
#include "frameworks/FreedMemory.hpp"

namespace agent {

MonitorFolders::MonitorFolders(AgentPlatform platform, AgentPlaces places)
    : platform_(platform)
    , places_(std::move(places)) {}

void MonitorFolders::startMonitoring() {
    auto& monitors = places_.folderMonitors;
    monitors.clear();
    const std::weak_ptr<mortar::MonitorDelegate> delegate = weak_from_this();
    auto watch = [&](const std::filesystem::path& url) {
        auto monitor = platform_.monitors.makeMonitor(url);
        if (monitor) {
            monitor->setDelegate(delegate);
            monitors.push_back(std::move(monitor));
        }
    };
    for (const auto& folder : places_.watchedFolders) {
        watch(folder);
    }
    watch(places_.exceptionsFileURL.parent_path());
    platform_.notificationCenter.setDelegate(weak_from_this());
    lastCheckedJobs_ = scanJobFolders();
    readExceptions();
    returnFreedMemory();
}

std::shared_ptr<MonitorFolders> SharedMonitorFolders::get() {
    std::lock_guard lock(mutex_);
    if (!made_) {
        made_ = true;
        object_ = factory_();
    }
    return object_;
}

void SharedMonitorFolders::reset() {
    std::shared_ptr<MonitorFolders> released;
    {
        std::lock_guard lock(mutex_);
        released.swap(object_);
    }
    // Released here, outside the lock.
}

AgentPlaces realPlaces() {
    return AgentPlaces{watchedFolders(),
                       exceptionsFileURL(),
                       mortar::File::nonSandboxedHomeFolderPath(),
                       gantry::Product::main().jobScheme,
                       mainBundleIdentifier(),
                       folderMonitors()};
}

MonitorList& folderMonitors() {
    static MonitorList monitors;
    return monitors;
}

} // namespace agent
