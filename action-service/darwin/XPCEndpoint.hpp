#pragma once

#include "platform/Listener.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace action_service {

// An NSXPCListenerEndpoint (held as a CFTypeRef so that this header stays plain C++), retained for as long
// as this lives.
class XPCEndpoint final : public ListenerEndpoint {
public:
    // `endpoint` must not be null.
    explicit XPCEndpoint(CFTypeRef endpoint)
        : endpoint_(CFRetain(endpoint)) {}
    ~XPCEndpoint() override { CFRelease(endpoint_); }
    XPCEndpoint(const XPCEndpoint&) = delete;
    XPCEndpoint& operator=(const XPCEndpoint&) = delete;

    CFTypeRef object() const { return endpoint_; }

private:
    CFTypeRef endpoint_;
};

} // namespace action_service
