// How the SDK declares dispatch and os objects (Apple Developer Documentation: Dispatch Objects, "Under
// ARC, dispatch objects are Objective-C objects"): in Objective-C they are objects retained by ARC, so
// dispatch_retain and dispatch_release are unavailable there; in C++ they are pointers to structures that
// inherit from their base, released by hand.
#pragma once

// clang-format off
#if defined(__OBJC__) && __has_feature(objc_arc)
#import <Foundation/NSObject.h>
#define OS_OBJECT_USE_OBJC 1
#define OS_OBJECT_BRIDGE __bridge
#define OS_OBJECT_DECL(name) \
    @protocol OS_##name <NSObject> \
    @end \
    typedef NSObject<OS_##name>* name##_t
#define OS_OBJECT_DECL_SUBCLASS(name, super) \
    @protocol OS_##name <OS_##super> \
    @end \
    typedef NSObject<OS_##name>* name##_t
#define OS_OBJECT_ARC_UNAVAILABLE __attribute__((unavailable("not available in automatic reference counting mode")))
#else
#define OS_OBJECT_USE_OBJC 0
#define OS_OBJECT_BRIDGE
#define OS_OBJECT_DECL(name) typedef struct name##_s* name##_t
#define OS_OBJECT_DECL_SUBCLASS(name, super) typedef struct name##_s : public super##_s {}* name##_t
#define OS_OBJECT_ARC_UNAVAILABLE
#endif
// clang-format on
