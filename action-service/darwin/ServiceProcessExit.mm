#include "ServiceProcessExit.hpp"

#import <Foundation/Foundation.h>
#include <cstdint>
#include <cstdio>
#include <dispatch/dispatch.h>
#include <unistd.h>

namespace action_service {

namespace {

// Long enough for a reply to leave on a loaded machine; a caller that stopped reading cannot hold the
// exit for longer.
constexpr std::int64_t sendWait = 2 * static_cast<std::int64_t>(NSEC_PER_SEC);

} // namespace

void ServiceProcessExit::exit() {
    // NSXPC sends replies asynchronously: the barrier block runs once every message this connection
    // sent before it has been sent, so the reply of the request that ends the service reaches its caller.
    NSXPCConnection* connection = [NSXPCConnection currentConnection];
    if (connection != nil) {
        dispatch_semaphore_t sent = dispatch_semaphore_create(0);
        [connection scheduleSendBarrierBlock:^{
          dispatch_semaphore_signal(sent);
        }];
        dispatch_semaphore_wait(sent, dispatch_time(DISPATCH_TIME_NOW, sendWait));
    }
    std::fflush(nullptr);
    // _exit, not exit: exit would run static destructors while other connections' threads still use the
    // objects they destroy. Their requests in flight are abandoned, as when the system ends the service.
    ::_exit(0);
}

} // namespace action_service
