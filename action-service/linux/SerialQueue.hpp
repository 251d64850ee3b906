#pragma once

#include <functional>
#include <memory>

namespace action_service {

// Runs tasks one after another, in the order posted, on a thread of its own. After retire() the
// tasks already posted still run, later posts are dropped, and the thread ends and frees the queue
// by itself: nobody has to wait for a long task to finish.
class SerialQueue {
public:
    using Task = std::function<void()>;

    SerialQueue();
    ~SerialQueue(); // retires
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task);
    void retire();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace action_service
