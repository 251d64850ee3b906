#pragma once

#include "platform/Listener.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace action_service {

// The service's NSXPCListener as the controller sees it. Held unretained: the service listener lives as
// long as the process.
class XPCListener final : public Listener {
public:
    explicit XPCListener(CFTypeRef listener)
        : listener_(listener) {}
    std::shared_ptr<ListenerEndpoint> endpoint() override;

private:
    CFTypeRef listener_;
};

} // namespace action_service
