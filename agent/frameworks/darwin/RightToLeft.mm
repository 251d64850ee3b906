#include "RightToLeft.hpp"

#import <Foundation/Foundation.h>

namespace agent {

bool preferredLanguageIsRightToLeft() {
    @autoreleasepool {
        NSString* preferred = [NSLocale preferredLanguages].firstObject;
        if (preferred == nil) {
            return false;
        }
        // "he-IL" and the like: the direction belongs to the language code.
        NSString* language = [NSLocale componentsFromLocaleIdentifier:preferred][NSLocaleLanguageCode];
        return language != nil &&
               [NSLocale characterDirectionForLanguage:language] == NSLocaleLanguageDirectionRightToLeft;
    }
}

} // namespace agent
