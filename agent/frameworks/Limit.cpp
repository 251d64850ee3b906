#include "frameworks/Mortar.hpp"

namespace mortar {

void Limit::interval(const std::string& identifier, std::chrono::nanoseconds duration,
                     std::function<void()> closure) {
    {
        std::lock_guard lock(mutex_);
        if (!armed_.insert(identifier).second) {
            return; // the armed timer's run starts after this call
        }
    }
    timer_.after(duration, [this, identifier, closure = std::move(closure)] {
        // Idle again before the run, so a call that arrives during the run arms the next window.
        {
            std::lock_guard lock(mutex_);
            armed_.erase(identifier);
        }
        closure();
    });
}

} // namespace mortar
