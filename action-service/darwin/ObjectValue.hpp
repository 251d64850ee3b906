#pragma once

#include "Value.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace action_service {

// An XPC request dictionary as the request RequestBuilder keeps. An NSDictionary is toll-free bridged to
// CFDictionaryRef, so this header stays plain C++. NSNumber: a Boolean (CFBoolean), a real (float or
// double), an unsigned integer (unsigned long or unsigned long long) or a signed one; NSString a text
// (none when it has no UTF-8 form); NSData data. Entries under a key that is no string, or that no request
// reads, and values of any other class are not looked at.
Dictionary requestFromObject(CFDictionaryRef dictionary);

// A new NSDictionary for a reply, owned by the caller (the Create rule): hand it to CFBridgingRelease.
CFDictionaryRef createObjectFromDictionary(const Dictionary& dictionary);

} // namespace action_service
