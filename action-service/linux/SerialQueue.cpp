#include "SerialQueue.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace action_service {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    bool retired = false;

    static void run(const std::shared_ptr<State>& state) {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->wake.wait(lock, [&] { return state->retired || !state->tasks.empty(); });
            if (state->tasks.empty()) {
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
    : state_(std::make_shared<State>()) {
    // The thread owns a share of the state, so it may outlive this object.
    std::thread([state = state_] { State::run(state); }).detach();
}

SerialQueue::~SerialQueue() {
    retire();
}

void SerialQueue::post(Task task) {
    std::lock_guard lock(state_->mutex);
    if (state_->retired) {
        return;
    }
    state_->tasks.push_back(std::move(task));
    state_->wake.notify_one();
}

void SerialQueue::retire() {
    std::lock_guard lock(state_->mutex);
    state_->retired = true;
    state_->wake.notify_one();
}

} // namespace action_service
