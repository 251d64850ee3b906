// Quorvel5XPCAction: started by the system on the main application's first connection.
#include "CommandLine.hpp"
#include "Controller.hpp"
#include "XPCConnection.hpp"
#include "XPCListener.hpp"

#import <Foundation/Foundation.h>
#include <cstdio>
#include <memory>

namespace {

constexpr std::string_view summary =
    "Carries out the Quorvel application's requests (write, load, unload, test-run and delete launchd\n"
    "jobs and files) as its XPC service. The system starts it on the application's first connection.\n";

} // namespace

// The service listener's delegate: hands every new connection to the controller.
@interface QuorvelListenerDelegate : NSObject <NSXPCListenerDelegate>
- (instancetype)initWithController:(action_service::Controller*)controller listener:(NSXPCListener*)listener;
@end

@implementation QuorvelListenerDelegate {
    action_service::Controller* _controller;
    // The controller keeps a pointer to it, so it lives as long as this delegate: the whole process.
    std::unique_ptr<action_service::XPCListener> _listener;
}

- (instancetype)initWithController:(action_service::Controller*)controller listener:(NSXPCListener*)listener {
    self = [super init];
    if (self != nil) {
        _controller = controller;
        _listener = std::make_unique<action_service::XPCListener>((__bridge CFTypeRef)listener);
    }
    return self;
}

- (BOOL)listener:(NSXPCListener*)listener shouldAcceptNewConnection:(NSXPCConnection*)newConnection {
    // This delegate serves the service listener only, wrapped once when it was made.
    (void)listener;
    action_service::XPCConnection connection((__bridge CFTypeRef)newConnection);
    return _controller->shouldAcceptNewConnection(*_listener, connection) ? YES : NO;
}

@end

int main(int argc, const char* argv[]) {
    if (const auto status = common::answerCommandLine(
            argc, argv, {"Quorvel5XPCAction", QUORVEL_VERSION, summary, false}, stdout, stderr)) {
        return *status;
    }
    // Process-wide: the listener holds its delegate weakly.
    static NSXPCListener* const listener = [NSXPCListener serviceListener];
    static QuorvelListenerDelegate* const delegate =
        [[QuorvelListenerDelegate alloc] initWithController:&action_service::sharedController()
                                                   listener:listener];
    [listener setDelegate:delegate];
    // Hands the main thread to the XPC machinery; does not come back while the service runs.
    [listener resume];
    return 0;
}
