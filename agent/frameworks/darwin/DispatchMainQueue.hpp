#pragma once

#include "frameworks/MainQueue.hpp"
#include "frameworks/Sleeper.hpp"
#include "frameworks/Timer.hpp"

namespace agent {

// Blocks run on the main dispatch queue, that is on the main thread, in the order given. Safe to call
// from any thread.
class DispatchMainQueue final : public MainQueue {
public:
    void async(std::function<void()> block) override;
};

// Closures run on the main dispatch queue once their delay has passed. Safe to call from any thread.
class DispatchTimer final : public Timer {
public:
    void after(std::chrono::nanoseconds delay, std::function<void()> closure) override;
};

// NSThread's sleep of the calling thread.
class ThreadSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::nanoseconds duration) override;
};

} // namespace agent
