#include "GLibMainQueue.hpp"

#include <algorithm>
#include <glib.h>

namespace agent {

namespace {

gboolean runOnce(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void destroy(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

} // namespace

void GLibMainQueue::async(std::function<void()> block) {
    // An idle source, not g_main_context_invoke: that would run the block at once on the main thread,
    // inside its caller.
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new std::function<void()>(std::move(block)), destroy);
}

void GLibTimer::after(std::chrono::nanoseconds delay, std::function<void()> closure) {
    // Rounded up: a closure never runs before its delay.
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
    const auto interval = static_cast<guint>(std::max<decltype(milliseconds)>(milliseconds, 0));
    g_timeout_add_full(G_PRIORITY_DEFAULT, interval, runOnce, new std::function<void()>(std::move(closure)),
                       destroy);
}

void GLibSleeper::sleepFor(std::chrono::nanoseconds duration) {
    const auto microseconds = std::chrono::ceil<std::chrono::microseconds>(duration).count();
    if (microseconds > 0) {
        g_usleep(static_cast<gulong>(microseconds));
    }
}

} // namespace agent
