// QuorvelAgent: the login item, a background application whose delegate runs the agent.
#include "AppDelegate.hpp"
#include "CommandLine.hpp"
#include "MonitorFolders.hpp"

#import <AppKit/AppKit.h>
#include <cstdio>
#include <optional>

namespace {

constexpr std::string_view summary =
    "Watches the launchd job folders of the user, the machine and the system, and posts a user\n"
    "notification for every job file that is new, modified or deleted. The main application registers\n"
    "it as its login item.\n";

} // namespace

// The application's delegate: hands launch and termination to the agent's AppDelegate.
@interface QuorvelAppDelegate : NSObject <NSApplicationDelegate>
@property(weak) NSWindow* window;
@end

@implementation QuorvelAppDelegate {
    std::optional<agent::AppDelegate> _delegate;
}

- (instancetype)init {
    self = [super init];
    if (self != nil) {
        _delegate.emplace(agent::sharedMonitorFolders());
    }
    return self;
}

- (void)applicationDidFinishLaunching:(NSNotification*)notification {
    (void)notification;
    _delegate->applicationDidFinishLaunching();
}

- (void)applicationWillTerminate:(NSNotification*)notification {
    (void)notification;
    _delegate->applicationWillTerminate();
}

@end

int main(int argc, const char* argv[]) {
    if (const auto status = common::answerCommandLine(
            argc, argv, {"QuorvelAgent", QUORVEL_VERSION, summary, true}, stdout, stderr)) {
        return *status;
    }
    // The bundle has no main interface file, so the delegate is installed here. Process-wide: the
    // application does not retain its delegate.
    @autoreleasepool {
        static QuorvelAppDelegate* const delegate = [[QuorvelAppDelegate alloc] init];
        [NSApplication sharedApplication].delegate = delegate;
    }
    NSApplicationMain(argc, argv);
    return 0;
}
