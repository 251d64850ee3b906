#include "BusListener.hpp"
#include "BusProcessExit.hpp"
#include "Controller.hpp"
#include "NoAuthority.hpp"
#include "PosixFileSystem.hpp"
#include "PosixProcessRunner.hpp"
#include "SyslogSystemLog.hpp"

namespace action_service {

namespace {
// The real platform, as the controller sees it.
struct LinuxPlatform {
    PosixProcessRunner processes;
    PosixFileSystem files;
    NoAuthority authority;
    SyslogSystemLog log;
    BusProcessExit exit{BusListener::service()};
};
} // namespace

Controller& sharedController() {
    // Built once, even when first used from two threads at once, and never destroyed: callers'
    // threads may still use it while the process ends.
    static Controller& controller = []() -> Controller& {
        auto* platform = new LinuxPlatform;
        // A write cut short by the end of the process leaves no temporary file behind.
        BusListener::service().setAbandonedCallsCleanup(
            [platform] { platform->files.removeUnfinishedWrites(); });
        return *new Controller(Platform{platform->processes, platform->files, platform->authority,
                                        platform->log, platform->exit},
                               QUORVEL_LAUNCHCTL_PATH);
    }();
    return controller;
}

} // namespace action_service
