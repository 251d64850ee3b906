#include "ObjectValue.hpp"

#include "RequestBuilder.hpp"

#import <Foundation/Foundation.h>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace action_service {

namespace {

// The UTF-8 bytes, NULs included; nil for a text that has no UTF-8 form (a lone surrogate).
NSData* utf8Bytes(NSString* string) {
    return [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:NO];
}

std::string_view viewOf(NSData* bytes) {
    return bytes.length == 0 ? std::string_view()
                             : std::string_view(static_cast<const char*>(bytes.bytes), bytes.length);
}

bool hasType(NSNumber* number, const char* type) {
    return std::strcmp(number.objCType, type) == 0;
}

void addNumber(RequestBuilder& request, std::string_view key, NSNumber* number) {
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
        request.boolean(key, number.boolValue != NO);
    } else if (hasType(number, @encode(double)) || hasType(number, @encode(float))) {
        request.real(key, number.doubleValue);
    } else if (hasType(number, @encode(unsigned long long)) || hasType(number, @encode(unsigned long))) {
        request.unsignedInteger(key, number.unsignedLongLongValue);
    } else {
        request.signedInteger(key, number.longLongValue);
    }
}

// Arrays, dictionaries and every other class hold nothing a request reads.
void addEntry(RequestBuilder& request, std::string_view key, id object) {
    if ([object isKindOfClass:[NSNumber class]]) {
        addNumber(request, key, object);
    } else if ([object isKindOfClass:[NSString class]]) {
        if (NSData* bytes = utf8Bytes(object); bytes != nil) {
            request.text(key, viewOf(bytes));
        }
    } else if ([object isKindOfClass:[NSData class]]) {
        NSData* data = object;
        const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
        request.data(key, data.length == 0 ? std::span<const std::uint8_t>()
                                           : std::span<const std::uint8_t>(bytes, data.length));
    }
}

// Texts the service makes are UTF-8; should one not be, an empty text stands in for the nil that a
// dictionary cannot hold.
NSString* stringObject(const std::string& text) {
    NSString* string = [[NSString alloc] initWithBytes:text.data()
                                                length:text.size()
                                              encoding:NSUTF8StringEncoding];
    return string != nil ? string : @"";
}

NSDictionary* objectFromDictionary(const Dictionary& dictionary);

id objectFromValue(const Value& value) {
    return std::visit(
        [](const auto& held) -> id {
            using T = std::decay_t<decltype(held)>;
            if constexpr (std::is_same_v<T, bool>) {
                return held ? @YES : @NO;
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return @(static_cast<long long>(held));
            } else if constexpr (std::is_same_v<T, double>) {
                return @(held);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return stringObject(held);
            } else if constexpr (std::is_same_v<T, Value::Data>) {
                return [NSData dataWithBytes:held.data() length:held.size()];
            } else if constexpr (std::is_same_v<T, Value::Array>) {
                NSMutableArray* array = [NSMutableArray arrayWithCapacity:held.size()];
                for (const Value& element : held) {
                    [array addObject:objectFromValue(element)];
                }
                return array;
            } else {
                return objectFromDictionary(held);
            }
        },
        value.storage());
}

NSDictionary* objectFromDictionary(const Dictionary& dictionary) {
    NSMutableDictionary* result = [NSMutableDictionary dictionaryWithCapacity:dictionary.size()];
    for (const auto& [key, value] : dictionary) {
        result[stringObject(key)] = objectFromValue(value);
    }
    return result;
}

} // namespace

Dictionary requestFromObject(CFDictionaryRef dictionary) {
    RequestBuilder request;
    NSDictionary* entries = (__bridge NSDictionary*)dictionary;
    for (id key in entries) {
        // Each entry's UTF-8 copies go before the next entry is read.
        @autoreleasepool {
            NSData* name = [key isKindOfClass:[NSString class]] ? utf8Bytes(key) : nil;
            if (name != nil && RequestBuilder::reads(viewOf(name))) {
                addEntry(request, viewOf(name), entries[key]);
            }
        }
    }
    return request.take();
}

CFDictionaryRef createObjectFromDictionary(const Dictionary& dictionary) {
    return static_cast<CFDictionaryRef>(CFBridgingRetain(objectFromDictionary(dictionary)));
}

} // namespace action_service
