#include "Controller.hpp"
#include "OsLogSystemLog.hpp"
#include "PosixFileSystem.hpp"
#include "PosixProcessRunner.hpp"
#include "SecurityAuthority.hpp"
#include "ServiceProcessExit.hpp"

namespace action_service {

namespace {
// The real platform, as the controller sees it.
struct DarwinPlatform {
    PosixProcessRunner processes;
    PosixFileSystem files;
    SecurityAuthority authority;
    OsLogSystemLog log;
    ServiceProcessExit exit;
};
} // namespace

Controller& sharedController() {
    // Built once, even when first used from two threads at once, and never destroyed: callers'
    // threads may still use it while the process ends.
    static Controller& controller = []() -> Controller& {
        auto* platform = new DarwinPlatform;
        return *new Controller(Platform{platform->processes, platform->files, platform->authority,
                                        platform->log, platform->exit},
                               QUORVEL_LAUNCHCTL_PATH);
    }();
    return controller;
}

} // namespace action_service
