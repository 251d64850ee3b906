#include "../Mortar.hpp"

#import <Foundation/Foundation.h>

namespace mortar {

// The main bundle's localized text for the key; the key itself where there is none.
std::string LString(std::string_view key) {
    @autoreleasepool {
        NSString* object = [[NSString alloc] initWithBytes:key.data()
                                                    length:key.size()
                                                  encoding:NSUTF8StringEncoding];
        if (object == nil) {
            return std::string(key);
        }
        const char* text = NSLocalizedString(object, @"").UTF8String;
        return text != nullptr ? std::string(text) : std::string(key);
    }
}

} // namespace mortar
