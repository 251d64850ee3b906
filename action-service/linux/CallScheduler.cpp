#include "CallScheduler.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace action_service {

namespace {
// How long an idle thread waits for the next call before it goes: calls in quick succession reuse a
// thread, an idle service holds none.
constexpr std::chrono::seconds idleTime{1};
} // namespace

struct CallScheduler::State {
    struct Queued {
        Task task;
        std::size_t bytes;
        CallId id;
    };
    struct Caller {
        std::deque<Queued> waiting;
        bool running = false;
    };
    using Callers = std::map<std::string, Caller, std::less<>>;

    explicit State(Limits bounds)
        : limits(bounds) {}

    const Limits limits;
    std::mutex mutex;
    std::condition_variable work;     // a caller became ready, or the scheduler stopped
    std::condition_variable finished; // a call ended
    // A caller is in `ready` exactly when it has calls waiting and none running, and is kept in
    // `callers` only while it has either.
    Callers callers;
    std::deque<Callers::iterator> ready;
    std::size_t queuedBytes = 0;
    std::size_t threads = 0;
    std::size_t running = 0;
    bool stopped = false;

    // Enough threads for the calls that can start now; false when none exists and none could be made.
    bool staff(const std::shared_ptr<State>& self) {
        const std::size_t wanted = std::min(limits.running, running + ready.size());
        while (threads < wanted) {
            try {
                std::thread([self] { self->serve(); }).detach();
            } catch (const std::system_error&) {
                break;
            }
            ++threads;
        }
        return threads > 0;
    }

    void serve() {
        std::unique_lock lock(mutex);
        for (;;) {
            const bool woken = work.wait_for(
                lock, idleTime, [&] { return stopped || (!ready.empty() && running < limits.running); });
            if (!woken || stopped) {
                break;
            }
            const Callers::iterator caller = ready.front();
            ready.pop_front();
            Queued call = std::move(caller->second.waiting.front());
            caller->second.waiting.pop_front();
            caller->second.running = true;
            queuedBytes -= call.bytes;
            ++running;
            lock.unlock();
            call.task();
            // What the call holds goes before the next one starts.
            call.task = nullptr;
            lock.lock();
            --running;
            caller->second.running = false;
            if (!caller->second.waiting.empty()) {
                ready.push_back(caller);
            } else {
                callers.erase(caller);
            }
            finished.notify_all();
        }
        --threads;
    }
};

CallScheduler::CallScheduler(Limits bounds)
    : limits(bounds)
    , state_(std::make_shared<State>(bounds)) {}

CallScheduler::~CallScheduler() {
    std::unique_lock lock(state_->mutex);
    state_->stopped = true;
    state_->work.notify_all();
    // Threads still own a share of the state; none runs a call after this returns.
    state_->finished.wait(lock, [&] { return state_->running == 0; });
}

std::optional<CallScheduler::Refusal> CallScheduler::post(std::string_view name, CallId id,
                                                          std::size_t requestBytes, Task task) {
    State& state = *state_;
    const std::size_t bytes =
        requestBytes > limits.queuedBytes ? limits.queuedBytes + 1 : requestBytes + limits.bytesPerCall;
    std::unique_lock lock(state.mutex);
    if (state.stopped) {
        return Refusal::stopped;
    }
    auto caller = state.callers.find(name);
    if (caller != state.callers.end() && caller->second.waiting.size() >= limits.queuedPerCaller) {
        return Refusal::callerQueueFull;
    }
    if (bytes > limits.queuedBytes - state.queuedBytes) {
        return Refusal::queuedBytesFull;
    }
    if (caller == state.callers.end()) {
        caller = state.callers.emplace(std::string(name), State::Caller{}).first;
    }
    caller->second.waiting.push_back(State::Queued{std::move(task), bytes, id});
    state.queuedBytes += bytes;
    const bool becameReady = !caller->second.running && caller->second.waiting.size() == 1;
    if (becameReady) {
        state.ready.push_back(caller);
    }
    if (!state.staff(state_)) {
        // No thread to run it, now or later: the caller hears so instead of waiting.
        state.queuedBytes -= bytes;
        caller->second.waiting.pop_back();
        if (becameReady) {
            state.ready.pop_back();
        }
        if (!caller->second.running && caller->second.waiting.empty()) {
            state.callers.erase(caller);
        }
        return Refusal::noThread;
    }
    // Woken after the lock is let go, so the woken thread does not at once wait for it again.
    lock.unlock();
    state.work.notify_one();
    return std::nullopt;
}

std::vector<CallScheduler::CallId> CallScheduler::stop() {
    State& state = *state_;
    std::lock_guard lock(state.mutex);
    state.stopped = true;
    state.work.notify_all();
    std::vector<CallId> dropped;
    for (auto& [name, caller] : state.callers) {
        for (State::Queued& call : caller.waiting) {
            dropped.push_back(call.id);
            state.queuedBytes -= call.bytes;
        }
        caller.waiting.clear();
    }
    state.ready.clear();
    std::erase_if(state.callers, [](const auto& entry) { return !entry.second.running; });
    std::sort(dropped.begin(), dropped.end());
    return dropped;
}

} // namespace action_service
