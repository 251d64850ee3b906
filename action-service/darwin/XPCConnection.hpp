#pragma once

#include "platform/Listener.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace action_service {

// A new NSXPCConnection as the controller sees it, for the length of the delegate call that wraps it
// (held unretained). It exports RemoteObjectType, the Objective-C protocol declared beside it.
class XPCConnection final : public Connection {
public:
    explicit XPCConnection(CFTypeRef connection)
        : connection_(connection) {}
    void setExportedInterface(const Interface& interface) override;
    void setExportedObject(RemoteObjectType& object) override;
    void resume() override;

private:
    CFTypeRef connection_;
};

} // namespace action_service
