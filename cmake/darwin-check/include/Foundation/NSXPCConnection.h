// Stands in for GNUstep's NSXPCConnection.h, which misspells a setter and lacks exportedObject,
// currentConnection and scheduleSendBarrierBlock:. Follows Apple Developer Documentation:
// NSXPCConnection, NSXPCListener, NSXPCListenerDelegate, NSXPCInterface, NSXPCListenerEndpoint,
// NSXPCProxyCreating.
#pragma once

#import <Foundation/NSObject.h>

@class NSError;
@class NSString;
@class NSXPCInterface;
@class NSXPCListener;
@class NSXPCListenerEndpoint;

@protocol NSXPCProxyCreating
- (id)remoteObjectProxy;
- (id)remoteObjectProxyWithErrorHandler:(void (^)(NSError* error))handler;
@end

@interface NSXPCConnection : NSObject <NSXPCProxyCreating>
- (instancetype)initWithServiceName:(NSString*)serviceName;
- (instancetype)initWithListenerEndpoint:(NSXPCListenerEndpoint*)endpoint;
@property(readonly, retain) NSXPCListenerEndpoint* endpoint;
@property(retain) NSXPCInterface* exportedInterface;
@property(retain) id exportedObject;
@property(retain) NSXPCInterface* remoteObjectInterface;
@property(copy) void (^interruptionHandler)(void);
@property(copy) void (^invalidationHandler)(void);
- (void)resume;
- (void)suspend;
- (void)invalidate;
+ (NSXPCConnection*)currentConnection;
- (void)scheduleSendBarrierBlock:(void (^)(void))block;
@end

@protocol NSXPCListenerDelegate <NSObject>
@optional
- (BOOL)listener:(NSXPCListener*)listener shouldAcceptNewConnection:(NSXPCConnection*)newConnection;
@end

@interface NSXPCListener : NSObject
+ (NSXPCListener*)serviceListener;
+ (NSXPCListener*)anonymousListener;
@property(weak) id<NSXPCListenerDelegate> delegate;
@property(readonly, retain) NSXPCListenerEndpoint* endpoint;
- (void)resume;
- (void)suspend;
- (void)invalidate;
@end

@interface NSXPCInterface : NSObject
+ (NSXPCInterface*)interfaceWithProtocol:(Protocol*)protocol;
@property(assign) Protocol* protocol;
@end

@interface NSXPCListenerEndpoint : NSObject <NSSecureCoding>
@end
