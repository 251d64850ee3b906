#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace action_service {

// Runs the calls of many callers on a bounded number of threads. One caller's calls run one after
// another in the order posted; different callers' calls run at the same time, at most `running` at
// once, and the rest wait their turn in the order their callers became ready. Threads are made as calls
// need them and go when idle for a moment, so an idle service holds none.
class CallScheduler {
public:
    struct Limits {
        std::size_t running = 64;
        // Calls posted and not yet started, per caller and in all. A main application that sends a
        // batch of requests is an ordinary caller.
        std::size_t queuedPerCaller = 1024;
        std::size_t queuedBytes = std::size_t{256} << 20;
        // What a waiting call costs besides its request (its task, reply messages, bookkeeping), so that
        // the bound in bytes holds for many small calls too.
        std::size_t bytesPerCall = 4096;
    };
    // Why a call was not taken. Every refused call is the poster's to answer.
    enum class Refusal { callerQueueFull, queuedBytesFull, noThread, stopped };
    using Task = std::function<void()>;
    using CallId = std::uint64_t;

    explicit CallScheduler(Limits limits);
    // Stops and waits for the running calls; queued ones are dropped.
    ~CallScheduler();
    CallScheduler(const CallScheduler&) = delete;
    CallScheduler& operator=(const CallScheduler&) = delete;

    // `bytes` is the size of the call's request, counted (with bytesPerCall) against the bound while the
    // call waits.
    std::optional<Refusal> post(std::string_view caller, CallId id, std::size_t bytes, Task task);

    // Takes no further call and starts no queued one; returns the ids of the queued calls, which will
    // never run, in increasing order. Calls already running go on. Never undone.
    std::vector<CallId> stop();

    const Limits limits;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace action_service
