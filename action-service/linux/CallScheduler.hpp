#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace action_service {

// Runs the calls of many callers on a bounded number of threads. One caller's calls run one after
// another in the order posted; different callers' calls run at the same time, at most `running` at
// once, and the rest wait their turn in the order their callers became ready. Threads are made as calls
// need them and go when idle for a moment, so an idle service holds none.
class CallScheduler {
public:
    struct Limits {
        std::size_t running = 64;
        // Calls posted and not yet started, per caller and in all.
        std::size_t queuedPerCaller = 16;
        std::size_t queuedBytes = std::size_t{256} << 20;
    };
    // Why a call was not taken. Every refused call is the poster's to answer.
    enum class Refusal { callerQueueFull, queuedBytesFull, noThread, stopped };
    using Task = std::function<void()>;

    explicit CallScheduler(Limits limits);
    // Stops and waits for the running calls; queued ones are dropped.
    ~CallScheduler();
    CallScheduler(const CallScheduler&) = delete;
    CallScheduler& operator=(const CallScheduler&) = delete;

    // `bytes` is the size of the call's request, counted against the bound while the call waits.
    std::optional<Refusal> post(std::string_view caller, std::size_t bytes, Task task);

    // Takes no further call and starts no queued one, then waits until the only calls still running are
    // those that called drain from inside their own task (fromTask). Never undone.
    void drain(bool fromTask);

    const Limits limits;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace action_service
