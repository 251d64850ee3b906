#pragma once

#include "JobFolders.hpp"
#include "MonitorFolders.hpp"
#include "TempFolder.hpp"
#include "WaitFor.hpp"

#include <deque>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace agent_test {

using namespace agent;

// A timer that fires only when the test says so.
class FakeTimer final : public Timer {
public:
    void after(std::chrono::nanoseconds delay, std::function<void()> closure) override {
        std::lock_guard lock(mutex_);
        pending_.emplace_back(delay, std::move(closure));
    }
    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return pending_.size();
    }
    std::chrono::nanoseconds lastDelay() {
        std::lock_guard lock(mutex_);
        return pending_.empty() ? std::chrono::nanoseconds(-1) : pending_.back().first;
    }
    // Fires the timers armed so far, in order; timers armed while firing wait for the next call.
    void fire() {
        std::deque<std::pair<std::chrono::nanoseconds, std::function<void()>>> due;
        {
            std::lock_guard lock(mutex_);
            due.swap(pending_);
        }
        for (auto& timer : due) {
            timer.second();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::pair<std::chrono::nanoseconds, std::function<void()>>> pending_;
};

// The main queue, stepped by hand.
class FakeMainQueue final : public MainQueue {
public:
    void async(std::function<void()> block) override {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return blocks_.size();
    }
    void runAll() {
        for (;;) {
            std::function<void()> block;
            {
                std::lock_guard lock(mutex_);
                if (blocks_.empty()) {
                    return;
                }
                block = std::move(blocks_.front());
                blocks_.pop_front();
            }
            block();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> blocks_;
};

class FakeSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::nanoseconds duration) override {
        slept.push_back(duration);
        if (onSleep) {
            onSleep();
        }
    }
    std::vector<std::chrono::nanoseconds> slept;
    std::function<void()> onSleep;
};

class FakeWorkspace final : public Workspace {
public:
    std::optional<std::string> menuBarOwnerLocalizedName() override { return menuBarOwner; }
    bool openURL(const std::string& url) override {
        opened.push_back(url);
        return true;
    }
    bool launchApplication(const std::string& bundleIdentifier) override {
        launched.push_back(bundleIdentifier);
        return true;
    }
    std::optional<std::string> menuBarOwner;
    std::vector<std::string> opened;
    std::vector<std::string> launched;
};

class FakeNotificationCenter final : public NotificationCenter {
public:
    void setDelegate(std::weak_ptr<NotificationCenterDelegate> newDelegate) override {
        delegate = std::move(newDelegate);
    }
    void deliver(const UserNotification& notification) override {
        std::lock_guard lock(mutex);
        delivered.push_back(notification);
    }
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex);
        std::vector<std::string> result;
        for (const auto& notification : delivered) {
            result.push_back(notification.text);
        }
        return result;
    }
    std::mutex mutex;
    std::weak_ptr<NotificationCenterDelegate> delegate;
    std::vector<UserNotification> delivered;
};

// Hands out plain monitors; the test plays the backend and calls report().
class FakeMonitorFactory final : public MonitorFactory {
public:
    std::shared_ptr<mortar::SingleFolderMonitor> makeMonitor(const std::filesystem::path& url) override {
        auto monitor = std::make_shared<mortar::SingleFolderMonitor>(url);
        made.push_back(monitor);
        return monitor;
    }
    std::vector<std::weak_ptr<mortar::SingleFolderMonitor>> made;
};

// The real file access with a hand on it: counts the openings of every file, and can refuse to open a file
// (as a permission would) or keep changing it under every read (as a writer that never pauses would).
// Reloads of the exceptions file open files on a monitor's thread, so the counts are kept under a lock;
// tests set the refused and moving files while no other thread reads.
class FileSeam final : public FileAccess {
public:
    explicit FileSeam(FileAccess& files)
        : files_(files) {}
    std::unique_ptr<OpenFolder> openFolder(const std::filesystem::path& folder) override {
        auto opened = files_.openFolder(folder);
        if (!opened) {
            return nullptr;
        }
        return std::make_unique<Folder>(*this, std::move(opened), folder);
    }
    std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) override {
        return open(file, [&] { return files_.openRegular(file, check); });
    }
    int openingsOf(const std::filesystem::path& file) {
        std::lock_guard lock(mutex_);
        const auto found = openings_.find(file.string());
        return found == openings_.end() ? 0 : found->second;
    }

    std::set<std::string> refused;
    std::set<std::string> moving;

private:
    // Files opened by name in a folder count as the same files opened by path.
    class Folder final : public OpenFolder {
    public:
        Folder(FileSeam& seam, std::unique_ptr<OpenFolder> folder, std::filesystem::path path)
            : seam_(seam)
            , folder_(std::move(folder))
            , path_(std::move(path)) {}
        bool list(std::vector<FolderEntry>& entries) override { return folder_->list(entries); }
        std::unique_ptr<ReadableFile> openRegular(const std::string& name, TypeCheck check) override {
            return seam_.open(path_ / name, [&] { return folder_->openRegular(name, check); });
        }

    private:
        FileSeam& seam_;
        std::unique_ptr<OpenFolder> folder_;
        std::filesystem::path path_;
    };
    template <typename Open>
    std::unique_ptr<ReadableFile> open(const std::filesystem::path& file, const Open& opener) {
        const auto path = file.string();
        std::lock_guard lock(mutex_);
        if (refused.contains(path)) {
            return nullptr;
        }
        auto opened = opener();
        if (!opened) {
            return nullptr;
        }
        ++openings_[path];
        if (!moving.contains(path)) {
            return opened;
        }
        return std::make_unique<Moving>(std::move(opened), file);
    }
    // Appends to its file on the first read, so the file is never the same before and after a reading.
    class Moving final : public ReadableFile {
    public:
        Moving(std::unique_ptr<ReadableFile> file, std::filesystem::path path)
            : file_(std::move(file))
            , path_(std::move(path)) {}
        std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
            if (!moved_) {
                moved_ = true;
                std::ofstream(path_, std::ios::app) << "<!-- more -->";
            }
            return file_->read(buffer);
        }
        std::optional<FileState> state() override { return file_->state(); }

    private:
        std::unique_ptr<ReadableFile> file_;
        std::filesystem::path path_;
        bool moved_ = false;
    };
    FileAccess& files_;
    std::mutex mutex_;
    std::map<std::string, int> openings_;
};

// Seven job folders, a home folder and the exceptions folder under one temporary folder; real POSIX file
// access, MD5 and property lists; fakes for everything that needs a desktop or takes time.
class AgentWorld {
public:
    explicit AgentWorld(bool rightToLeft = false)
        : files(makeFileAccess())
        , seam(*files)
        , parser(makePropertyListParser())
        , crypto([] { return gantry::makeMd5(); })
        , limit(timer)
        , interface(center, rightToLeft) {
        const auto root = temp.path();
        home = (root / "home").string();
        userAgents = root / "home" / "Library" / "LaunchAgents";
        std::filesystem::create_directories(userAgents);
        folders.push_back(userAgents / "");
        for (const auto& library : {root / "Library" / "", root / "System" / "Library" / ""}) {
            for (const auto& folder : JobFolder::folders(library)) {
                folders.push_back(folder);
            }
        }
        exceptionsFolder = root / "home" / "Library" / "Application Support" / "Quorvel";
        std::filesystem::create_directories(exceptionsFolder);
    }

    AgentPlatform platform() {
        return AgentPlatform{seam,    *parser, crypto,    monitors, mainQueue,
                             sleeper, limit,   workspace, center,   interface};
    }
    AgentPlaces places() {
        AgentPlaces places{
            folders, exceptionsFolder / "Exceptions.plist", home, scheme, "app.quorvel.Quorvel", monitorList};
        if (timestampResolution) {
            places.timestampResolution = *timestampResolution;
        }
        return places;
    }
    std::shared_ptr<MonitorFolders> make() { return std::make_shared<MonitorFolders>(platform(), places()); }

    // The monitor made last for a folder (either spelling of the URL).
    std::shared_ptr<mortar::SingleFolderMonitor> monitorFor(const std::filesystem::path& folder) {
        const auto plain = (folder / "").string();
        for (auto it = monitors.made.rbegin(); it != monitors.made.rend(); ++it) {
            auto monitor = it->lock();
            if (monitor && (monitor->url() / "").string() == plain) {
                return monitor;
            }
        }
        return nullptr;
    }

    // A folder reports, the window passes and the main queue runs: one full check.
    void reportAndCheck(const std::filesystem::path& folder) {
        monitorFor(folder)->report();
        timer.fire();
        mainQueue.runAll();
    }

    std::string path(const std::string& name) const { return (userAgents / name).string(); }

    test_support::TempFolder temp{"quorvel-agent"};
    std::string home;
    std::filesystem::path userAgents;
    std::filesystem::path exceptionsFolder;
    std::vector<std::filesystem::path> folders;
    std::optional<std::string> scheme = "quorvel";
    MonitorList monitorList;
    std::optional<std::chrono::nanoseconds> timestampResolution; // the agent's own when absent

    std::unique_ptr<FileAccess> files;
    FileSeam seam;
    std::unique_ptr<PropertyListParser> parser;
    gantry::Crypto crypto;
    FakeMonitorFactory monitors;
    FakeMainQueue mainQueue;
    FakeSleeper sleeper;
    FakeTimer timer;
    mortar::Limit limit;
    FakeWorkspace workspace;
    FakeNotificationCenter center;
    mortar::Interface interface;
};

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

inline std::string jobPlist(const std::string& label, const std::string& extra = "") {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n\t<key>Label</key>\n\t<string>" +
           label + "</string>\n" + extra + "</dict>\n</plist>\n";
}

inline std::string exceptionsPlist(const std::string& arrayBody) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>Exceptions</key>\n<array>" +
           arrayBody + "</array>\n</dict>\n</plist>\n";
}

// Sets a file's modification date exactly.
inline void setModified(const std::filesystem::path& path, const FileDate& date) {
    const auto since = date.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const timespec times[2] = {
        {0, UTIME_OMIT},
        {static_cast<time_t>(seconds.count()), static_cast<long>((since - seconds).count())}};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Waits until a change made now gets a later status-change time than `path` has: file timestamps are only
// as fine as the kernel's clock tick, and a test changes files far faster than that.
inline bool waitForLaterTimestamps(const std::filesystem::path& path, const std::filesystem::path& probe) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) {
        return false;
    }
    const auto later = [&](const struct stat& status) {
        return status.st_ctim.tv_sec > target.st_ctim.tv_sec ||
               (status.st_ctim.tv_sec == target.st_ctim.tv_sec &&
                status.st_ctim.tv_nsec > target.st_ctim.tv_nsec);
    };
    return test_support::waitFor([&] {
        writeFile(probe, "tick");
        struct stat status {};
        return ::stat(probe.c_str(), &status) == 0 && later(status);
    });
}

} // namespace agent_test
