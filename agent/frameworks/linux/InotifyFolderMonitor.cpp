#include "InotifyFolderMonitor.hpp"

#include "Inotify.hpp"
#include "ShownText.hpp"
#include "TextOutput.hpp"
#include "frameworks/WatchPlan.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent {

namespace {

using namespace std::chrono_literals;

// Everything that changes the folder's entries or the files in it, and the folder's own end.
constexpr std::uint32_t targetMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A name coming, going or changing its permissions.
constexpr std::uint32_t stepEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB;
// The folder's own end.
constexpr std::uint32_t selfMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

std::uint32_t maskFor(FolderWatch::Events events) {
    switch (events) {
    case FolderWatch::Events::self:
        return selfMask;
    case FolderWatch::Events::entries:
        return stepEvents | selfMask;
    case FolderWatch::Events::contents:
        return targetMask;
    }
    return targetMask;
}

constexpr std::uint32_t selfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// Rounds of watching while folders on the way come and go; later changes are events.
constexpr int settleRounds = 8;
constexpr std::chrono::seconds firstRetry = 1s;
constexpr std::chrono::seconds lastRetry = 60s;

PathEntry lookUp(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return {};
    }
    if (S_ISLNK(status.st_mode)) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(path, error);
        return error ? PathEntry{} : PathEntry{PathEntry::Kind::link, std::move(target)};
    }
    // A folder that cannot be read cannot be watched: it counts as not there yet.
    if (S_ISDIR(status.st_mode) && ::access(path.c_str(), R_OK) == 0) {
        return {PathEntry::Kind::folder, {}};
    }
    return {PathEntry::Kind::other, {}};
}

class InotifyFolderMonitor final : public mortar::SingleFolderMonitor,
                                   public Inotify::Listener,
                                   public std::enable_shared_from_this<InotifyFolderMonitor> {
public:
    InotifyFolderMonitor(const std::filesystem::path& url, std::shared_ptr<Inotify> inotify, Timer& timer,
                         InotifyMonitorFactory::Log log)
        : SingleFolderMonitor(url)
        , plan_(url)
        , inotify_(std::move(inotify))
        , timer_(timer)
        , log_(std::move(log)) {}
    ~InotifyFolderMonitor() override { inotify_->removeAll(*this); }
    InotifyFolderMonitor(const InotifyFolderMonitor&) = delete;
    InotifyFolderMonitor& operator=(const InotifyFolderMonitor&) = delete;

    // Watching starts before the monitor is handed out, so no change after it is missed.
    void start() { settle(arm()); }

    void inotifyEvents(const std::vector<Inotify::Event>& events) override;

private:
    enum class Armed { target, elsewhere, failed, unsettled };
    struct Watch {
        int descriptor;
        std::filesystem::path folder;
        bool isTarget;
    };

    Armed arm();
    // Places the watches `resolution` asks for; false, with the failure logged, when one cannot be made.
    bool place(const Resolution& resolution);
    void logFailure(const std::filesystem::path& folder, const Inotify::Added& added);
    void settle(Armed armed);
    void retry(std::uint64_t generation);

    WatchPlan plan_;
    std::shared_ptr<Inotify> inotify_;
    Timer& timer_;
    InotifyMonitorFactory::Log log_;
    std::vector<Watch> watches_;
    Resolution resolution_;
    Armed armed_ = Armed::unsettled;
    std::chrono::seconds retryDelay_ = firstRetry;
    std::uint64_t retryGeneration_ = 0;
    std::string lastFailure_;
};

void InotifyFolderMonitor::logFailure(const std::filesystem::path& folder, const Inotify::Added& added) {
    const std::string failure =
        std::string(added.failedCall) + " " + folder.string() + ": " + std::strerror(added.error);
    if (failure == lastFailure_) {
        return; // told once for the whole spell
    }
    lastFailure_ = failure;
    log_(shownText("Quorvel: cannot watch " + url().string() + " (" + failure + "); trying again in " +
                   std::to_string(retryDelay_.count()) + " s") +
         "\n");
}

bool InotifyFolderMonitor::place(const Resolution& resolution) {
    std::vector<Watch> placed;
    bool complete = true;
    for (const auto& [folder, events] : folderWatches(resolution)) {
        const auto added = inotify_->add(folder, maskFor(events), *this);
        if (added.watch < 0) {
            if (complete) {
                logFailure(folder, added);
            }
            complete = false; // the others are watched all the same
            continue;
        }
        placed.push_back({added.watch, folder, events == FolderWatch::Events::contents});
    }
    // The new watches are in place before the old go, so that a folder kept on the way is never unwatched.
    for (const auto& watch : watches_) {
        inotify_->remove(watch.descriptor, *this);
    }
    watches_ = std::move(placed);
    resolution_ = resolution;
    return complete;
}

InotifyFolderMonitor::Armed InotifyFolderMonitor::arm() {
    for (int round = 0; round < settleRounds; ++round) {
        const auto resolution = plan_.resolve(lookUp);
        if (!place(resolution)) {
            return Armed::failed;
        }
        if (plan_.resolve(lookUp) == resolution) {
            return resolution.reachesTarget ? Armed::target : Armed::elsewhere;
        }
        // A folder or link on the way changed before its watch was in place: look again.
    }
    return Armed::unsettled;
}

void InotifyFolderMonitor::settle(Armed armed) {
    armed_ = armed;
    if (armed == Armed::target || armed == Armed::elsewhere) {
        ++retryGeneration_; // a retry on its way has nothing left to do
        retryDelay_ = firstRetry;
        lastFailure_.clear();
        return;
    }
    const auto generation = ++retryGeneration_;
    const auto delay = retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, lastRetry);
    timer_.after(delay, [weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) {
            self->retry(generation);
        }
    });
}

void InotifyFolderMonitor::retry(std::uint64_t generation) {
    if (generation != retryGeneration_) {
        return;
    }
    settle(arm());
    // Whether or not the watch is made now, the folder may have changed while it was not watched.
    report();
}

void InotifyFolderMonitor::inotifyEvents(const std::vector<Inotify::Event>& events) {
    bool changed = false;
    bool rearm = false;
    for (const auto& event : events) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changed = true; // events were lost: look again from scratch
            rearm = true;
            continue;
        }
        for (const auto& watch : watches_) {
            if (watch.descriptor != event.watch) {
                continue;
            }
            if ((event.mask & selfGone) != 0) {
                rearm = true;
                continue;
            }
            changed = changed || watch.isTarget;
            if (!event.name.empty() && (event.mask & stepEvents) != 0 &&
                std::find(resolution_.steps.begin(), resolution_.steps.end(),
                          WatchStep{watch.folder, event.name}) != resolution_.steps.end()) {
                rearm = true; // a name on the way came, went or was replaced
            }
        }
    }
    if (rearm) {
        const bool wasTarget = armed_ == Armed::target;
        settle(arm());
        // The target appearing, going or being replaced is a change of its contents too.
        changed = changed || wasTarget || armed_ == Armed::target;
    }
    if (changed) {
        report();
    }
}

} // namespace

void logToStandardError(const std::string& line) {
    common::writeAll(stderr, line);
}

InotifyMonitorFactory::InotifyMonitorFactory(InotifyCalls& calls, Timer& timer, Log log)
    : inotify_(std::make_shared<Inotify>(calls))
    , timer_(timer)
    , log_(std::move(log)) {}

InotifyMonitorFactory::~InotifyMonitorFactory() = default;

std::shared_ptr<mortar::SingleFolderMonitor>
InotifyMonitorFactory::makeMonitor(const std::filesystem::path& url) {
    auto monitor = std::make_shared<InotifyFolderMonitor>(url, inotify_, timer_, log_);
    monitor->start();
    return monitor;
}

} // namespace agent
