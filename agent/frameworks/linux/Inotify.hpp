#pragma once

#include "InotifyCalls.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

typedef struct _GSource GSource;
typedef struct _GMainContext GMainContext;

namespace agent {

// One inotify descriptor for every folder monitor of the process, read on the main loop (the
// thread-default main context of the thread that makes it). Watch descriptors are shared: inotify gives
// one per folder, so each is counted per listener and removed when its last user lets it go. Made,
// used and destroyed on that one thread.
class Inotify {
public:
    struct Event {
        int watch;
        std::uint32_t mask;
        std::string name;
    };
    class Listener {
    public:
        virtual ~Listener() = default;
        // The events of one reading that concern the listener's watches, and every overflow.
        virtual void inotifyEvents(const std::vector<Event>& events) = 0;
    };
    // A watch that was made, or the call that failed and its errno.
    struct Added {
        int watch = -1;
        const char* failedCall = nullptr;
        int error = 0;
    };

    explicit Inotify(InotifyCalls& calls);
    ~Inotify();
    Inotify(const Inotify&) = delete;
    Inotify& operator=(const Inotify&) = delete;

    // Opens the descriptor first if it is not open yet (a failure is tried again at the next call).
    Added add(const std::filesystem::path& folder, std::uint32_t mask, Listener& listener);
    void remove(int watch, Listener& listener);
    // Every watch of the listener goes; it hears nothing more.
    void removeAll(Listener& listener);

private:
    bool open(Added& failure);
    void readEvents();
    void dispatch(const std::vector<Event>& events);

    InotifyCalls& calls_;
    int descriptor_ = -1;
    GSource* source_ = nullptr;
    GMainContext* context_ = nullptr;
    // Watch descriptor to its users and how often each added it.
    std::map<int, std::map<Listener*, int>> users_;
    std::set<Listener*> listeners_;
};

} // namespace agent
