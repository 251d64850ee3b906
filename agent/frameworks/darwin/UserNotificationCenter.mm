#include "UserNotificationCenter.hpp"

#import <Foundation/Foundation.h>
#include <string>
#include <utility>

namespace {

NSString* stringObject(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data() length:text.size() encoding:NSUTF8StringEncoding];
}

std::string stringFrom(NSString* string) {
    const char* text = string.UTF8String;
    return text != nullptr ? std::string(text) : std::string();
}

agent::UserNotification userNotificationFrom(NSUserNotification* notification) {
    agent::UserNotification result{stringFrom(notification.title), stringFrom(notification.informativeText),
                                   stringFrom(notification.subtitle), std::nullopt};
    if (notification.identifier != nil) {
        result.identifier = stringFrom(notification.identifier);
    }
    return result;
}

} // namespace

// The notification centre's delegate: activations go to the C++ delegate while it lives. No other
// delegate method is implemented, so the system's defaults apply to presenting and delivering.
@interface QuorvelNotificationCenterDelegate : NSObject <NSUserNotificationCenterDelegate>
- (void)setTarget:(std::weak_ptr<agent::NotificationCenterDelegate>)target;
@end

@implementation QuorvelNotificationCenterDelegate {
    std::weak_ptr<agent::NotificationCenterDelegate> _target;
}

- (void)setTarget:(std::weak_ptr<agent::NotificationCenterDelegate>)target {
    _target = std::move(target);
}

- (void)userNotificationCenter:(NSUserNotificationCenter*)center
       didActivateNotification:(NSUserNotification*)notification {
    (void)center;
    if (auto target = _target.lock()) {
        target->didActivateNotification(userNotificationFrom(notification));
    }
}

@end

namespace agent {

UserNotificationCenter::UserNotificationCenter()
    : bridge_(CFBridgingRetain([[QuorvelNotificationCenterDelegate alloc] init])) {}

UserNotificationCenter::~UserNotificationCenter() {
    // The centre does not retain its delegate: take it back before letting it go.
    NSUserNotificationCenter* center = [NSUserNotificationCenter defaultUserNotificationCenter];
    if (center.delegate == (__bridge id)bridge_) {
        center.delegate = nil;
    }
    CFBridgingRelease(bridge_);
}

void UserNotificationCenter::setDelegate(std::weak_ptr<NotificationCenterDelegate> delegate) {
    QuorvelNotificationCenterDelegate* bridge = (__bridge QuorvelNotificationCenterDelegate*)bridge_;
    [bridge setTarget:std::move(delegate)];
    [NSUserNotificationCenter defaultUserNotificationCenter].delegate = bridge;
}

void UserNotificationCenter::deliver(const UserNotification& notification) {
    NSUserNotification* posted = [[NSUserNotification alloc] init];
    posted.title = stringObject(notification.title);
    posted.informativeText = stringObject(notification.text);
    posted.subtitle = stringObject(notification.subtitle);
    if (notification.identifier) {
        posted.identifier = stringObject(*notification.identifier);
    }
    [[NSUserNotificationCenter defaultUserNotificationCenter] deliverNotification:posted];
}

} // namespace agent
