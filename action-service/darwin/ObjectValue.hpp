#pragma once

#include "Value.hpp"

#include <CoreFoundation/CoreFoundation.h>

namespace action_service {

// XPC request and reply dictionaries as values. An NSDictionary is toll-free bridged to CFDictionaryRef,
// so this header stays plain C++. NSNumber: a Boolean (CFBoolean), an integer (an unsigned one above the
// int64 range comes as a real), or a real; NSString a string; NSData data; NSArray an array; NSDictionary
// with string keys a dictionary. Any other value, and any entry under a key that is no string, has no
// value and is left out.
Dictionary dictionaryFromObject(CFDictionaryRef dictionary);

// A new NSDictionary for a reply, owned by the caller (the Create rule): hand it to CFBridgingRelease.
CFDictionaryRef createObjectFromDictionary(const Dictionary& dictionary);

} // namespace action_service
