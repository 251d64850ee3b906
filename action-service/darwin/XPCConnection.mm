#include "XPCConnection.hpp"

#include "ObjectValue.hpp"
#include "RemoteObjectType.hpp"
#include "XPCEndpoint.hpp"

#import <Foundation/Foundation.h>
#include <memory>

// The interface the service exports on every connection.
@protocol RemoteObjectType
- (void)runActionWith:(NSDictionary*)request reply:(void (^)(NSDictionary*))reply;
- (void)listenerEndpointWithReply:(void (^)(NSXPCListenerEndpoint*))reply;
@end

// Declared for the main application's privileged helper; nothing in the service implements or calls it.
@protocol PrivilegedConnectionType
- (void)connectWithReply:(void (^)(NSXPCListenerEndpoint*, NSData*, BOOL))reply;
@end

// The exported object of a connection: forwards each message to the C++ object, which outlives every
// connection.
@interface QuorvelRemoteObject : NSObject <RemoteObjectType>
- (instancetype)initWithObject:(action_service::RemoteObjectType*)object;
@end

@implementation QuorvelRemoteObject {
    action_service::RemoteObjectType* _object;
}

- (instancetype)initWithObject:(action_service::RemoteObjectType*)object {
    self = [super init];
    if (self != nil) {
        _object = object;
    }
    return self;
}

- (void)runActionWith:(NSDictionary*)request reply:(void (^)(NSDictionary*))reply {
    _object->runActionWith(action_service::requestFromObject((__bridge CFDictionaryRef)request),
                           [reply](action_service::Dictionary answer) {
                               reply(CFBridgingRelease(action_service::createObjectFromDictionary(answer)));
                           });
}

- (void)listenerEndpointWithReply:(void (^)(NSXPCListenerEndpoint*))reply {
    _object->listenerEndpointWithReply([reply](std::shared_ptr<action_service::ListenerEndpoint> endpoint) {
        const auto* xpc = dynamic_cast<const action_service::XPCEndpoint*>(endpoint.get());
        reply(xpc != nullptr ? (__bridge NSXPCListenerEndpoint*)xpc->object() : nil);
    });
}

@end

namespace action_service {

void XPCConnection::setExportedInterface(const Interface& interface) {
    // The protocol by its compile-time name, so that a misspelling fails the build; RemoteObjectType is
    // the one interface the service exports, and an interface it does not know is not exported.
    if (interface.protocol != RemoteObjectType::name) {
        return;
    }
    [(__bridge NSXPCConnection*)connection_
        setExportedInterface:[NSXPCInterface interfaceWithProtocol:@protocol(RemoteObjectType)]];
}

void XPCConnection::setExportedObject(RemoteObjectType& object) {
    [(__bridge NSXPCConnection*)connection_
        setExportedObject:[[QuorvelRemoteObject alloc] initWithObject:&object]];
}

void XPCConnection::resume() {
    [(__bridge NSXPCConnection*)connection_ resume];
}

} // namespace action_service
