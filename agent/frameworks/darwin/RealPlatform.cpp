// The process-wide MonitorFolders of the program, wired to the real platform.
#include "AppKitWorkspace.hpp"
#include "DispatchMainQueue.hpp"
#include "FSEventsFolderMonitor.hpp"
#include "MonitorFolders.hpp"
#include "RightToLeft.hpp"
#include "UserNotificationCenter.hpp"

namespace agent {

namespace {

// The real backends, made once on the main thread at the first access and kept for the process's life.
struct RealPlatform {
    std::unique_ptr<FileAccess> files = makeFileAccess();
    std::unique_ptr<PropertyListParser> propertyLists = makePropertyListParser();
    gantry::Crypto crypto{gantry::makeMd5};
    FSEventsMonitorFactory monitors;
    DispatchMainQueue mainQueue;
    ThreadSleeper sleeper;
    DispatchTimer timer;
    mortar::Limit limit{timer};
    AppKitWorkspace workspace;
    UserNotificationCenter notificationCenter;
    mortar::Interface interface { notificationCenter, preferredLanguageIsRightToLeft() };

    AgentPlatform platform() {
        return AgentPlatform{*files,  *propertyLists, crypto,    monitors,           mainQueue,
                             sleeper, limit,          workspace, notificationCenter, interface};
    }
};

} // namespace

SharedMonitorFolders& sharedMonitorFolders() {
    static SharedMonitorFolders shared([] {
        static RealPlatform real;
        return std::make_shared<MonitorFolders>(real.platform(), realPlaces());
    });
    return shared;
}

} // namespace agent
