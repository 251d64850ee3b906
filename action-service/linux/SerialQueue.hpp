#pragma once

#include <functional>
#include <memory>

namespace action_service {

// Runs tasks one after another, in the order posted, on a thread of its own. The thread goes when
// the queue has been idle for a moment, so an idle queue holds none. After retire() the tasks already posted
// still run and later posts are dropped: nobody has to wait for a long task to finish.
class SerialQueue {
public:
    using Task = std::function<void()>;

    SerialQueue();
    ~SerialQueue(); // retires
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // A task that finds no thread to run on (the system has none to give) is dropped.
    void post(Task task);
    void retire();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace action_service
