// GNUstep's NSObject.h and what Apple's adds for ARC code. Follows Apple Developer Documentation:
// CFBridgingRetain, CFBridgingRelease.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include_next <Foundation/NSObject.h>

#if __has_feature(objc_arc)
static inline CF_RETURNS_RETAINED CFTypeRef CFBridgingRetain(id X) {
    return (__bridge_retained CFTypeRef)X;
}
static inline id CFBridgingRelease(CFTypeRef CF_CONSUMED X) {
    return (__bridge_transfer id)X;
}
#endif
