#pragma once

#include <chrono>
#include <thread>

namespace test_support {

// Polls condition until it holds or the deadline passes; returns whether it held. Waiting for an event
// this way, with a generous deadline, is how tests wait: never a fixed sleep.
template <typename Condition>
bool waitFor(Condition&& condition, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace test_support
