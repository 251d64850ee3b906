// The process-wide MonitorFolders of the program, wired to the real platform.
#include "RealPlatform.hpp"

#include "DBusNotificationCenter.hpp"
#include "GLibMainQueue.hpp"
#include "GObjectPtr.hpp"
#include "GioWorkspace.hpp"
#include "InotifyFolderMonitor.hpp"
#include "MainBundle.hpp"
#include "MonitorFolders.hpp"
#include "RightToLeft.hpp"

#include <gio/gio.h>

namespace agent {

namespace {

// The real backends, made once on the main thread at the first access and kept for the process's life.
struct RealPlatform {
    // The session bus connection, or null without a session bus.
    GObjectPtr<GDBusConnection> bus{g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)};
    std::unique_ptr<FileAccess> files = makeFileAccess();
    std::unique_ptr<PropertyListParser> propertyLists = makePropertyListParser();
    gantry::Crypto crypto{gantry::makeMd5};
    GLibMainQueue mainQueue;
    GLibSleeper sleeper;
    GLibTimer timer;
    SystemInotifyCalls inotifyCalls;
    InotifyMonitorFactory monitors{inotifyCalls, timer};
    mortar::Limit limit{timer};
    GioWorkspace workspace;
    DBusNotificationCenter notificationCenter{bus.get(), timer, mainBundleIdentifier()};
    mortar::Interface interface { notificationCenter, messagesLocaleIsRightToLeft() };

    AgentPlatform platform() {
        return AgentPlatform{*files,  *propertyLists, crypto,    monitors,           mainQueue,
                             sleeper, limit,          workspace, notificationCenter, interface};
    }
};

RealPlatform& realPlatform() {
    static RealPlatform real;
    return real;
}

} // namespace

SharedMonitorFolders& sharedMonitorFolders() {
    static SharedMonitorFolders shared([] {
        // The platform first: made before the monitor list, it is destroyed after the monitors at exit.
        auto& real = realPlatform();
        return std::make_shared<MonitorFolders>(real.platform(), realPlaces());
    });
    return shared;
}

void finishNotifications(std::chrono::milliseconds deadline) {
    realPlatform().notificationCenter.finish(deadline);
}

} // namespace agent
