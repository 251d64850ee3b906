// QuorvelAgent: the login item, a background application whose delegate runs the agent.
#include "AppDelegate.hpp"
#include "MonitorFolders.hpp"

#import <AppKit/AppKit.h>
#include <optional>

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
    // The bundle has no main interface file, so the delegate is installed here. Process-wide: the
    // application does not retain its delegate.
    @autoreleasepool {
        static QuorvelAppDelegate* const delegate = [[QuorvelAppDelegate alloc] init];
        [NSApplication sharedApplication].delegate = delegate;
    }
    NSApplicationMain(argc, argv);
    return 0;
}
