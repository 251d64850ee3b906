#pragma once

#include "JobSnapshot.hpp"
#include "frameworks/FileAccess.hpp"
#include "frameworks/Gantry.hpp"
#include "frameworks/MainQueue.hpp"
#include "frameworks/MonitorFactory.hpp"
#include "frameworks/Mortar.hpp"
#include "frameworks/NotificationCenter.hpp"
#include "frameworks/PropertyList.hpp"
#include "frameworks/Sleeper.hpp"
#include "frameworks/Workspace.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace agent {

class DigestingReader;

// The live folder monitors; holding them keeps them watching.
using MonitorList = std::vector<std::shared_ptr<mortar::MonitorType>>;

// The platform services the agent works through.
struct AgentPlatform {
    FileAccess& files;
    PropertyListParser& propertyLists;
    const gantry::Crypto& crypto;
    MonitorFactory& monitors;
    MainQueue& mainQueue;
    Sleeper& sleeper;
    mortar::Limit& limit;
    Workspace& workspace;
    NotificationCenter& notificationCenter;
    const mortar::Interface& interface;
};

// Where the agent looks and what it opens; the program passes the process-wide values.
struct AgentPlaces {
    std::vector<std::filesystem::path> watchedFolders;
    std::filesystem::path exceptionsFileURL;
    std::string homeFolderPath;           // shortened to "~" in notification texts
    std::optional<std::string> jobScheme; // the main application's job URL scheme
    std::string mainBundleIdentifier;     // launched for a deleted job
    MonitorList& folderMonitors;
    std::chrono::nanoseconds limitDuration = std::chrono::seconds(1);
    std::chrono::nanoseconds pauseBeforeCheck = std::chrono::milliseconds(300);
    // How coarse a file system's timestamps may be (one second on some, two on others). A file changed this
    // recently when it was read could change again within the same tick and keep its status, so it is read
    // again at the next scan rather than recognised.
    std::chrono::nanoseconds timestampResolution = std::chrono::seconds(2);
};

// The agent's one long-lived object: watches the job folders and reports their changes.
class MonitorFolders final : public mortar::MonitorDelegate,
                             public NotificationCenterDelegate,
                             public std::enable_shared_from_this<MonitorFolders> {
public:
    using Job = agent::Job;
    enum class Kind { new_, modified, deleted };
    // Job file path (full, as listed) to job.
    using Snapshot = JobSnapshot;

    MonitorFolders(AgentPlatform platform, AgentPlaces places);

    void startMonitoring();
    Snapshot scanJobFolders() const;
    void checkJobs();
    void postNotification(const std::string& path, Kind kind);
    void readExceptions();
    void folderDidChange(const std::filesystem::path& url) override;
    void didActivateNotification(const UserNotification& notification) override;
    void openJob(const UserNotification& notification);

    const Snapshot& lastCheckedJobs() const { return lastCheckedJobs_; }
    std::vector<std::string> exceptions() const;
    // Whether the label is in the exceptions list.
    bool isExcepted(const std::string& label) const;
    const std::string appName = "Quorvel";

private:
    // Records in `into` the job a listed entry holds now, given the one `known` from the last snapshot's
    // folder `last` (nullptr when new).
    void scanEntry(DigestingReader& reader, OpenFolder& folder, const FolderEntry& entry,
                   const SnapshotFolder* last, const StoredJob* known, SnapshotFolder& into) const;

    AgentPlatform platform_;
    AgentPlaces places_;
    Snapshot lastCheckedJobs_;
    // A scan's listing of one folder, kept from scan to scan (scans run on the main thread only), so that a
    // check of an unchanged folder allocates nothing per entry; and for each watched folder, the order of
    // its last listing by name.
    mutable std::vector<FolderEntry> listing_;
    mutable std::vector<std::vector<std::uint32_t>> byName_;
    mutable std::mutex exceptionsMutex_; // a reload may arrive on a monitor's thread
    std::vector<std::string> exceptions_;
    std::unordered_set<std::string> exceptedLabels_; // the same labels, looked up per notification
};

// The process-wide MonitorFolders: made on first access, exactly once, absent after termination.
class SharedMonitorFolders {
public:
    using Factory = std::function<std::shared_ptr<MonitorFolders>()>;
    explicit SharedMonitorFolders(Factory factory)
        : factory_(std::move(factory)) {}
    std::shared_ptr<MonitorFolders> get();
    void reset();

private:
    Factory factory_;
    std::mutex mutex_;
    bool made_ = false;
    std::shared_ptr<MonitorFolders> object_;
};

// Process-wide values, each built once on first use. sharedMonitorFolders() is defined by the program,
// which wires the real platform.
SharedMonitorFolders& sharedMonitorFolders();
MonitorList& folderMonitors();
const std::filesystem::path& exceptionsFileURL();
// The places of the process-wide MonitorFolders: the real job folders, exceptions file, home folder,
// job scheme and main application.
AgentPlaces realPlaces();

} // namespace agent
