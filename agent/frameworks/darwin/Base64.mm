#include "../Mortar.hpp"

#import <Foundation/Foundation.h>

namespace mortar {

void toBase64(std::string& text) {
    @autoreleasepool {
        NSData* bytes = [NSData dataWithBytes:text.data() length:text.size()];
        text = [bytes base64EncodedStringWithOptions:0].UTF8String;
    }
}

} // namespace mortar
