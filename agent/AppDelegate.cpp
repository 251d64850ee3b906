#include "AppDelegate.hpp"

namespace agent {

void AppDelegate::applicationDidFinishLaunching() {
    if (auto monitorFolders = shared_.get()) {
        monitorFolders->startMonitoring();
    }
}

void AppDelegate::applicationWillTerminate() {
    shared_.reset();
}

} // namespace agent
