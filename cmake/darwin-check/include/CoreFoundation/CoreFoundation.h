// The subset of Core Foundation the macOS backends use, for the darwin check, with the bridging
// attributes of the real headers: under ARC a cast between a CF type and its Foundation class needs
// __bridge, and a cast to the wrong class is diagnosed. Follows Apple Developer Documentation: CFType
// (CFTypeRef, CFTypeID, CFGetTypeID, CFRetain, CFRelease), CFAllocator (kCFAllocatorDefault and the
// callback types), CFArray (CFArrayCreate, kCFTypeArrayCallBacks), CFBoolean (CFBooleanGetTypeID),
// CFNumber (CFNumberIsFloatType), CFString (CFStringCreateWithFileSystemRepresentation), CFDictionary,
// Base Utilities (CFIndex, CFTimeInterval), MacTypes (Boolean, UInt32, SInt32, UInt64, OSStatus).
#pragma once

#include <stddef.h>
#include <stdint.h>

#if __has_attribute(objc_bridge) && __has_feature(objc_bridge_id) && __has_feature(objc_bridge_id_on_typedefs)
#define CF_BRIDGED_TYPE(T) __attribute__((objc_bridge(T)))
#define CF_BRIDGED_MUTABLE_TYPE(T) __attribute__((objc_bridge_mutable(T)))
#else
#define CF_BRIDGED_TYPE(T)
#define CF_BRIDGED_MUTABLE_TYPE(T)
#endif
#define CF_RETURNS_RETAINED __attribute__((cf_returns_retained))
#define CF_RETURNS_NOT_RETAINED __attribute__((cf_returns_not_retained))
#define CF_CONSUMED __attribute__((cf_consumed))
// As the SDK declares them for C++: an enumeration type, and an option set that is its integer type.
#define CF_ENUM(T, N)                                                                                        \
    enum N : T N;                                                                                            \
    enum N : T
#define CF_OPTIONS(T, N)                                                                                     \
    T N;                                                                                                     \
    enum : T

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef SInt32 OSStatus;
typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef double CFTimeInterval;

typedef const CF_BRIDGED_TYPE(id) void* CFTypeRef;
typedef const struct CF_BRIDGED_TYPE(NSString) __CFString* CFStringRef;
typedef const struct CF_BRIDGED_TYPE(id) __CFAllocator* CFAllocatorRef;
typedef const struct CF_BRIDGED_TYPE(NSArray) __CFArray* CFArrayRef;
typedef const struct CF_BRIDGED_TYPE(NSDictionary) __CFDictionary* CFDictionaryRef;
typedef const struct CF_BRIDGED_TYPE(NSNumber) __CFNumber* CFNumberRef;
typedef const struct CF_BRIDGED_TYPE(NSNumber) __CFBoolean* CFBooleanRef;

typedef const void* (*CFAllocatorRetainCallBack)(const void* info);
typedef void (*CFAllocatorReleaseCallBack)(const void* info);
typedef CFStringRef (*CFAllocatorCopyDescriptionCallBack)(const void* info);

extern const CFAllocatorRef kCFAllocatorDefault;

CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);

typedef const void* (*CFArrayRetainCallBack)(CFAllocatorRef allocator, const void* value);
typedef void (*CFArrayReleaseCallBack)(CFAllocatorRef allocator, const void* value);
typedef CFStringRef (*CFArrayCopyDescriptionCallBack)(const void* value);
typedef Boolean (*CFArrayEqualCallBack)(const void* value1, const void* value2);
typedef struct {
    CFIndex version;
    CFArrayRetainCallBack retain;
    CFArrayReleaseCallBack release;
    CFArrayCopyDescriptionCallBack copyDescription;
    CFArrayEqualCallBack equal;
} CFArrayCallBacks;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) CF_RETURNS_RETAINED;

CFTypeID CFBooleanGetTypeID(void);
Boolean CFNumberIsFloatType(CFNumberRef number);
CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc,
                                                       const char* buffer) CF_RETURNS_RETAINED;

#ifdef __cplusplus
}
#endif
