#pragma once

#include "frameworks/MainQueue.hpp"
#include "frameworks/Sleeper.hpp"
#include "frameworks/Timer.hpp"

namespace agent {

// Blocks run on the default GLib main context, that is on the main thread's loop, in the order given.
// Safe to call from any thread.
class GLibMainQueue final : public MainQueue {
public:
    void async(std::function<void()> block) override;
};

// Closures run on the main thread's loop once their delay has passed. Safe to call from any thread.
class GLibTimer final : public Timer {
public:
    void after(std::chrono::nanoseconds delay, std::function<void()> closure) override;
};

class GLibSleeper final : public Sleeper {
public:
    void sleepFor(std::chrono::nanoseconds duration) override;
};

} // namespace agent
