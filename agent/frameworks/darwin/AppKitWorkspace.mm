#include "AppKitWorkspace.hpp"

#import <AppKit/AppKit.h>

namespace agent {

namespace {

NSString* stringObject(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

} // namespace

std::optional<std::string> AppKitWorkspace::menuBarOwnerLocalizedName() {
    NSString* name = [NSWorkspace sharedWorkspace].menuBarOwningApplication.localizedName;
    const char* text = name.UTF8String;
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

bool AppKitWorkspace::openURL(const std::string& url) {
    NSString* text = stringObject(url);
    NSURL* object = text != nil ? [NSURL URLWithString:text] : nil;
    return object != nil && [[NSWorkspace sharedWorkspace] openURL:object] != NO;
}

bool AppKitWorkspace::launchApplication(const std::string& bundleIdentifier) {
    NSString* identifier = stringObject(bundleIdentifier);
    return identifier != nil && [[NSWorkspace sharedWorkspace] launchAppWithBundleIdentifier:identifier
                                                                                     options:0
                                                              additionalEventParamDescriptor:nil
                                                                            launchIdentifier:nil] != NO;
}

} // namespace agent
