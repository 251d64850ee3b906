#include "SerialQueue.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace action_service {

namespace {
// How long an idle thread waits for the next task before it goes: a caller's calls in quick
// succession reuse one thread, a caller that stays idle holds none.
constexpr std::chrono::seconds idleTime{1};
} // namespace

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    bool running = false; // a thread is taking the tasks
    bool retired = false;

    static void run(const std::shared_ptr<State>& state) {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->wake.wait_for(lock, idleTime, [&] { return state->retired || !state->tasks.empty(); });
            if (state->tasks.empty()) {
                state->running = false;
                return;
            }
            Task task = std::move(state->tasks.front());
            state->tasks.pop_front();
            lock.unlock();
            task();
            // What the task holds goes before the next one starts.
            task = nullptr;
            lock.lock();
        }
    }
};

SerialQueue::SerialQueue()
    : state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() {
    retire();
}

void SerialQueue::post(Task task) {
    Task dropped;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->retired) {
            return;
        }
        state_->tasks.push_back(std::move(task));
        if (state_->running) {
            state_->wake.notify_one();
            return;
        }
        try {
            // The thread owns a share of the state, so it may outlive this object.
            std::thread([state = state_] { State::run(state); }).detach();
            state_->running = true;
            return;
        } catch (const std::system_error&) {
            dropped = std::move(state_->tasks.back());
            state_->tasks.pop_back();
        }
    }
}

void SerialQueue::retire() {
    std::lock_guard lock(state_->mutex);
    state_->retired = true;
    state_->wake.notify_one();
}

} // namespace action_service
