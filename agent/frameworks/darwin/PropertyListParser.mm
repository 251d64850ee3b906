#include "../PropertyList.hpp"
#include "PropertyListGuard.hpp"

#import <Foundation/Foundation.h>

namespace agent {

namespace {

// Turns Foundation's property-list objects into a PlistValue, within the guard's depth and node
// budgets.
class Conversion {
public:
    // Fills `out`; false when the tree is beyond the budgets or a text cannot be read.
    bool convert(id object, std::size_t depth, PlistValue& out) {
        if (!budget_.enter(depth)) {
            return false;
        }
        if ([object isKindOfClass:[NSString class]]) {
            NSString* string = object;
            const char* text = string.UTF8String;
            if (text == nullptr) {
                return false;
            }
            out = PlistValue(std::string(text));
            return true;
        }
        if ([object isKindOfClass:[NSArray class]]) {
            NSArray* elements = object;
            PlistValue::Array array(elements.count);
            for (NSUInteger k = 0; k < elements.count; ++k) {
                if (!convert(elements[k], depth + 1, array[k])) {
                    return false;
                }
            }
            out = PlistValue(std::move(array));
            return true;
        }
        if ([object isKindOfClass:[NSDictionary class]]) {
            NSDictionary* entries = object;
            // A dictionary with a key that is no string is no dictionary with string keys: it reads as
            // another value.
            for (id key in entries) {
                if (![key isKindOfClass:[NSString class]]) {
                    out = PlistValue();
                    return true;
                }
            }
            PlistValue::Dictionary dictionary;
            for (NSString* key in entries) {
                const char* name = key.UTF8String;
                if (name == nullptr || !convert(entries[key], depth + 1, dictionary[std::string(name)])) {
                    return false;
                }
            }
            out = PlistValue(std::move(dictionary));
            return true;
        }
        out = PlistValue();
        return true;
    }

private:
    ConversionBudget budget_;
};

class FoundationPropertyListParser final : public PropertyListParser {
public:
    std::optional<PlistValue> parse(std::span<const std::uint8_t> bytes) override {
        @autoreleasepool {
            // Read in place: the bytes outlive the parse.
            NSData* data = [NSData dataWithBytesNoCopy:const_cast<std::uint8_t*>(bytes.data())
                                                length:bytes.size()
                                          freeWhenDone:NO];
            id root = [NSPropertyListSerialization propertyListWithData:data
                                                                options:NSPropertyListImmutable
                                                                 format:nullptr
                                                                  error:nil];
            if (root == nil) {
                return std::nullopt;
            }
            PlistValue value;
            if (!Conversion().convert(root, 1, value)) {
                return std::nullopt;
            }
            return value;
        }
    }
};

} // namespace

std::unique_ptr<PropertyListParser> makePropertyListParser() {
    return std::make_unique<FoundationPropertyListParser>();
}

} // namespace agent
