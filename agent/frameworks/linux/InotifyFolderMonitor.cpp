#include "InotifyFolderMonitor.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent {

namespace {

// Everything that changes the folder's entries or the files in it, and the folder's own end.
constexpr std::uint32_t targetMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                                     IN_ATTRIB | IN_MODIFY | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// An ancestor only matters when the next folder on the way comes, goes or changes its permissions, or when
// the ancestor itself goes.
constexpr std::uint32_t ancestorMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr std::uint32_t selfGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

bool isWatchableFolder(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && ::access(path.c_str(), R_OK) == 0;
}

} // namespace

InotifyFolderMonitor::InotifyFolderMonitor(std::filesystem::path url)
    : SingleFolderMonitor(url)
    , plan_(url) {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (inotify_ < 0 || wake_ < 0) {
        return; // out of descriptors or inotify instances: this monitor stays silent
    }
    // Watching starts before the constructor returns, so no change after it is missed.
    arm();
    thread_ = std::thread([this] { run(); });
}

InotifyFolderMonitor::~InotifyFolderMonitor() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (::write(wake_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

std::filesystem::path InotifyFolderMonitor::watchedFolder() const {
    std::lock_guard lock(stateMutex_);
    return watchedFolder_;
}

bool InotifyFolderMonitor::addWatch(const std::filesystem::path& folder, bool isTarget) {
    // IN_MASK_ADD: a folder reached twice through links keeps both masks.
    const int descriptor =
        ::inotify_add_watch(inotify_, folder.c_str(), (isTarget ? targetMask : ancestorMask) | IN_MASK_ADD);
    if (descriptor < 0) {
        return false;
    }
    watches_.push_back({descriptor, folder, isTarget});
    return true;
}

void InotifyFolderMonitor::removeWatches() {
    for (const auto& watch : watches_) {
        ::inotify_rm_watch(inotify_, watch.descriptor); // fails harmlessly for a descriptor seen twice
    }
    watches_.clear();
}

bool InotifyFolderMonitor::arm() {
    // Folders may come and go while we look; a few rounds settle it, and any later change is an event.
    for (int round = 0; round < 64; ++round) {
        removeWatches();
        const auto folder = plan_.folderToWatch(isWatchableFolder);
        const bool isTarget = folder == plan_.target();
        bool placed = addWatch(folder, isTarget);
        for (auto above = folder; placed;) {
            const auto parent = above.parent_path();
            if (parent.empty() || parent == above) {
                break;
            }
            above = parent;
            placed = addWatch(above, false);
        }
        if (!placed || plan_.folderToWatch(isWatchableFolder) != folder) {
            continue; // a folder on the way came or went before its watch was in place
        }
        watchingTarget_ = isTarget;
        std::lock_guard lock(stateMutex_);
        watchedFolder_ = folder;
        return isTarget;
    }
    removeWatches();
    watchingTarget_ = false;
    std::lock_guard lock(stateMutex_);
    watchedFolder_.clear();
    return false;
}

bool InotifyFolderMonitor::readEvents() {
    alignas(inotify_event) std::array<char, 16 * 1024> buffer{};
    const ssize_t length = ::read(inotify_, buffer.data(), buffer.size());
    if (length <= 0) {
        return false; // EAGAIN or EINTR: poll again
    }
    bool changed = false;
    bool rearm = false;
    const auto end = static_cast<std::size_t>(length);
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= end;) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + offset, sizeof event);
        // The name is NUL-padded to its length.
        const std::string_view name =
            event.len > 0 ? std::string_view(buffer.data() + offset + sizeof event) : std::string_view();
        offset += sizeof event + event.len;

        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            changed = true; // events were lost: look again from scratch
            rearm = true;
            continue;
        }
        for (const auto& watch : watches_) {
            if (watch.descriptor != event.wd) {
                continue; // another folder's, or a watch given up earlier
            }
            if ((event.mask & selfGone) != 0) {
                rearm = true;
            } else if (watch.isTarget) {
                changed = true;
            } else if (plan_.leadsToTarget(watch.folder, name)) {
                rearm = true; // the next folder on the way came, went or was replaced
            }
        }
    }
    if (rearm) {
        const bool wasTarget = watchingTarget_;
        // The target appearing, going or being replaced is a change of its contents too.
        if (arm() || wasTarget) {
            changed = true;
        }
    }
    return changed;
}

void InotifyFolderMonitor::run() {
    std::array<pollfd, 2> descriptors{{{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}}};
    for (;;) {
        if (::poll(descriptors.data(), descriptors.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((descriptors[1].revents & POLLIN) != 0) {
            return;
        }
        if ((descriptors[0].revents & POLLIN) != 0 && readEvents()) {
            report();
        }
    }
}

std::shared_ptr<mortar::SingleFolderMonitor>
InotifyMonitorFactory::makeMonitor(const std::filesystem::path& url) {
    return std::make_shared<InotifyFolderMonitor>(url);
}

} // namespace agent
