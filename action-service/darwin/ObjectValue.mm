#include "ObjectValue.hpp"

#import <Foundation/Foundation.h>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

namespace action_service {

namespace {

std::optional<Value> valueFromObject(id object);

Dictionary dictionaryFromNSDictionary(NSDictionary* dictionary);

// The UTF-8 bytes, NULs included; nothing for a text that has no UTF-8 form (a lone surrogate).
std::optional<std::string> stringFrom(NSString* string) {
    NSData* bytes = [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:NO];
    if (bytes == nil) {
        return std::nullopt;
    }
    if (bytes.length == 0) {
        return std::string();
    }
    return std::string(static_cast<const char*>(bytes.bytes), bytes.length);
}

Value valueFromNumber(NSNumber* number) {
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
        return Value(number.boolValue != NO);
    }
    if (CFNumberIsFloatType((__bridge CFNumberRef)number)) {
        return Value(number.doubleValue);
    }
    if (std::strcmp(number.objCType, @encode(unsigned long long)) == 0 &&
        number.unsignedLongLongValue >
            static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) {
        return Value(number.doubleValue);
    }
    return Value(std::int64_t{number.longLongValue});
}

std::optional<Value> valueFromObject(id object) {
    if ([object isKindOfClass:[NSNumber class]]) {
        return valueFromNumber(object);
    }
    if ([object isKindOfClass:[NSString class]]) {
        if (auto text = stringFrom(object)) {
            return Value(std::move(*text));
        }
        return std::nullopt;
    }
    if ([object isKindOfClass:[NSData class]]) {
        NSData* data = object;
        const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
        return data.length == 0 ? Value(Value::Data{}) : Value(Value::Data(bytes, bytes + data.length));
    }
    if ([object isKindOfClass:[NSArray class]]) {
        Value::Array array;
        NSArray* elements = object;
        for (id element in elements) {
            if (auto value = valueFromObject(element)) {
                array.push_back(std::move(*value));
            }
        }
        return Value(std::move(array));
    }
    if ([object isKindOfClass:[NSDictionary class]]) {
        return Value(dictionaryFromNSDictionary(object));
    }
    return std::nullopt;
}

Dictionary dictionaryFromNSDictionary(NSDictionary* dictionary) {
    Dictionary result;
    for (id key in dictionary) {
        if (![key isKindOfClass:[NSString class]]) {
            continue;
        }
        auto name = stringFrom(key);
        auto value = valueFromObject(dictionary[key]);
        if (name && value) {
            result.insert_or_assign(std::move(*name), std::move(*value));
        }
    }
    return result;
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

Dictionary dictionaryFromObject(CFDictionaryRef dictionary) {
    return dictionaryFromNSDictionary((__bridge NSDictionary*)dictionary);
}

CFDictionaryRef createObjectFromDictionary(const Dictionary& dictionary) {
    return static_cast<CFDictionaryRef>(CFBridgingRetain(objectFromDictionary(dictionary)));
}

} // namespace action_service
