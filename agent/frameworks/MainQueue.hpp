#pragma once

#include <functional>

namespace agent {

// The main thread's queue: blocks run there one after another.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> block) = 0;
};

} // namespace agent
