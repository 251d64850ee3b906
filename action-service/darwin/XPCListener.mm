#include "XPCListener.hpp"

#include "XPCEndpoint.hpp"

#import <Foundation/Foundation.h>

namespace action_service {

std::shared_ptr<ListenerEndpoint> XPCListener::endpoint() {
    NSXPCListenerEndpoint* endpoint = [(__bridge NSXPCListener*)listener_ endpoint];
    if (endpoint == nil) {
        return nullptr;
    }
    return std::make_shared<XPCEndpoint>((__bridge CFTypeRef)endpoint);
}

} // namespace action_service
