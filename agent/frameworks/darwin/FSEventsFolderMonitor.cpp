#include "FSEventsFolderMonitor.hpp"

#include <CoreServices/CoreServices.h>
#include <dispatch/dispatch.h>

namespace agent {

namespace {

// Bursts are coalesced by the rate limit after the report; the stream only has to deliver promptly.
constexpr CFTimeInterval latency = 0.1;

class FSEventsFolderMonitor final : public mortar::SingleFolderMonitor {
public:
    explicit FSEventsFolderMonitor(std::filesystem::path url);
    ~FSEventsFolderMonitor() override;
    FSEventsFolderMonitor(const FSEventsFolderMonitor&) = delete;
    FSEventsFolderMonitor& operator=(const FSEventsFolderMonitor&) = delete;

private:
    static void onEvents(ConstFSEventStreamRef stream, void* info, size_t count, void* paths,
                         const FSEventStreamEventFlags flags[], const FSEventStreamEventId ids[]);

    dispatch_queue_t queue_;
    FSEventStreamRef stream_ = nullptr;
};

FSEventsFolderMonitor::FSEventsFolderMonitor(std::filesystem::path url)
    : SingleFolderMonitor(std::move(url))
    , queue_(dispatch_queue_create("FolderMonitor", DISPATCH_QUEUE_SERIAL)) {
    CFStringRef path = CFStringCreateWithFileSystemRepresentation(kCFAllocatorDefault, this->url().c_str());
    if (path == nullptr) {
        return;
    }
    const void* paths[] = {path};
    CFArrayRef pathsToWatch = CFArrayCreate(kCFAllocatorDefault, paths, 1, &kCFTypeArrayCallBacks);
    FSEventStreamContext context{0, this, nullptr, nullptr, nullptr};
    // WatchRoot: the folder itself, or one above it, being moved or deleted is reported too.
    stream_ = FSEventStreamCreate(kCFAllocatorDefault, onEvents, &context, pathsToWatch,
                                  kFSEventStreamEventIdSinceNow, latency, kFSEventStreamCreateFlagWatchRoot);
    CFRelease(pathsToWatch);
    CFRelease(path);
    if (stream_ != nullptr) {
        FSEventStreamSetDispatchQueue(stream_, queue_);
        FSEventStreamStart(stream_);
    }
}

FSEventsFolderMonitor::~FSEventsFolderMonitor() {
    if (stream_ != nullptr) {
        FSEventStreamStop(stream_);
        FSEventStreamInvalidate(stream_);
        FSEventStreamRelease(stream_);
    }
    // A report already running on the queue ends before the monitor goes.
    dispatch_sync_f(queue_, nullptr, [](void*) {});
    dispatch_release(queue_);
}

void FSEventsFolderMonitor::onEvents(ConstFSEventStreamRef, void* info, size_t, void*,
                                     const FSEventStreamEventFlags[], const FSEventStreamEventId[]) {
    static_cast<FSEventsFolderMonitor*>(info)->report();
}

} // namespace

std::shared_ptr<mortar::SingleFolderMonitor>
FSEventsMonitorFactory::makeMonitor(const std::filesystem::path& url) {
    return std::make_shared<FSEventsFolderMonitor>(url);
}

} // namespace agent
