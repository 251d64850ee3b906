#pragma once

#include "MonitorFolders.hpp"

namespace agent {

class AppDelegate {
public:
    explicit AppDelegate(SharedMonitorFolders& shared)
        : shared_(shared) {}
    // Obtains the shared MonitorFolders (making it) and starts it.
    void applicationDidFinishLaunching();
    // Lets the shared MonitorFolders go; nothing else is stopped or saved.
    void applicationWillTerminate();

private:
    SharedMonitorFolders& shared_;
};

} // namespace agent
