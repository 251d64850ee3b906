#pragma once

#include <chrono>

namespace agent {

// Blocks the calling thread.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
};

} // namespace agent
