#include "GLibMainQueue.hpp"

#include <algorithm>
#include <glib-unix.h>
#include <glib.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace agent {

namespace {

gboolean runOnce(gpointer data) {
    (*static_cast<std::function<void()>*>(data))();
    return G_SOURCE_REMOVE;
}

void destroy(gpointer data) {
    delete static_cast<std::function<void()>*>(data);
}

// A closure and the timer descriptor that wakes it, closed with it.
struct TimedClosure {
    int descriptor;
    std::function<void()> closure;
};

} // namespace

void GLibMainQueue::async(std::function<void()> block) {
    // An idle source, not g_main_context_invoke: that would run the block at once on the main thread,
    // inside its caller.
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new std::function<void()>(std::move(block)), destroy);
}

void GLibTimer::after(std::chrono::nanoseconds delay, std::function<void()> closure) {
    // A timer descriptor wakes the loop when the delay has passed, to the nanosecond; a GLib timeout counts
    // whole milliseconds and its poll rounds up once more.
    const int descriptor = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (descriptor < 0) {
        // Rounded up: a closure never runs before its delay.
        const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
        const auto interval = static_cast<guint>(std::max<decltype(milliseconds)>(milliseconds, 0));
        g_timeout_add_full(G_PRIORITY_DEFAULT, interval, runOnce,
                           new std::function<void()>(std::move(closure)), destroy);
        return;
    }
    // An all-zero time disarms the descriptor: a closure due now waits one nanosecond.
    const auto due = std::max(delay, std::chrono::nanoseconds(1));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(due);
    itimerspec time{};
    time.it_value.tv_sec = static_cast<time_t>(seconds.count());
    time.it_value.tv_nsec = static_cast<long>((due - seconds).count());
    ::timerfd_settime(descriptor, 0, &time, nullptr);
    g_autoptr(GSource) source = g_unix_fd_source_new(descriptor, G_IO_IN);
    g_source_set_callback(
        source, G_SOURCE_FUNC(+[](gint, GIOCondition, gpointer data) -> gboolean {
            static_cast<TimedClosure*>(data)->closure();
            return G_SOURCE_REMOVE;
        }),
        new TimedClosure{descriptor, std::move(closure)}, +[](gpointer data) {
            auto* timed = static_cast<TimedClosure*>(data);
            ::close(timed->descriptor);
            delete timed;
        });
    g_source_attach(source, nullptr);
}

void GLibSleeper::sleepFor(std::chrono::nanoseconds duration) {
    const auto microseconds = std::chrono::ceil<std::chrono::microseconds>(duration).count();
    if (microseconds > 0) {
        g_usleep(static_cast<gulong>(microseconds));
    }
}

} // namespace agent
