#pragma once

#include <chrono>
#include <functional>

namespace agent {

// Runs a closure once after a delay, on a thread of the timer's choosing.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void after(std::chrono::nanoseconds delay, std::function<void()> closure) = 0;
};

} // namespace agent
