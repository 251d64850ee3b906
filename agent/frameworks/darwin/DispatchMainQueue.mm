#include "DispatchMainQueue.hpp"

#import <Foundation/Foundation.h>
#include <cstdint>
#include <dispatch/dispatch.h>

namespace agent {

void DispatchMainQueue::async(std::function<void()> block) {
    dispatch_async(dispatch_get_main_queue(), ^{
      block();
    });
}

void DispatchTimer::after(std::chrono::nanoseconds delay, std::function<void()> closure) {
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, static_cast<std::int64_t>(delay.count())),
                   dispatch_get_main_queue(), ^{
                     closure();
                   });
}

void ThreadSleeper::sleepFor(std::chrono::nanoseconds duration) {
    [NSThread sleepForTimeInterval:std::chrono::duration<NSTimeInterval>(duration).count()];
}

} // namespace agent
