#include "Inotify.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <glib-unix.h>
#include <glib.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace agent {

Inotify::Inotify(InotifyCalls& calls)
    : calls_(calls)
    , context_(g_main_context_ref_thread_default()) {}

Inotify::~Inotify() {
    if (source_ != nullptr) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
    g_main_context_unref(context_);
}

bool Inotify::open(Added& failure) {
    if (descriptor_ >= 0) {
        return true;
    }
    descriptor_ = calls_.init();
    if (descriptor_ < 0) {
        failure.failedCall = "inotify_init1";
        failure.error = errno;
        return false;
    }
    source_ = g_unix_fd_source_new(descriptor_, G_IO_IN);
    g_source_set_callback(source_, G_SOURCE_FUNC(+[](gint, GIOCondition, gpointer data) -> gboolean {
                              static_cast<Inotify*>(data)->readEvents();
                              return G_SOURCE_CONTINUE;
                          }),
                          this, nullptr);
    g_source_attach(source_, context_);
    return true;
}

Inotify::Added Inotify::add(const std::filesystem::path& folder, std::uint32_t mask, Listener& listener) {
    Added added;
    if (!open(added)) {
        return added;
    }
    // IN_MASK_ADD: a folder watched by several monitors keeps every mask asked for.
    added.watch = calls_.addWatch(descriptor_, folder.c_str(), mask | IN_MASK_ADD);
    if (added.watch < 0) {
        added.failedCall = "inotify_add_watch";
        added.error = errno;
        return added;
    }
    ++users_[added.watch][&listener];
    listeners_.insert(&listener);
    return added;
}

void Inotify::remove(int watch, Listener& listener) {
    const auto found = users_.find(watch);
    if (found == users_.end()) {
        return; // the system removed it already
    }
    auto& users = found->second;
    const auto user = users.find(&listener);
    if (user == users.end() || --user->second > 0) {
        return;
    }
    users.erase(user);
    if (users.empty()) {
        users_.erase(found);
        calls_.removeWatch(descriptor_, watch);
    }
}

void Inotify::removeAll(Listener& listener) {
    for (auto it = users_.begin(); it != users_.end();) {
        auto& users = it->second;
        users.erase(&listener);
        if (users.empty()) {
            calls_.removeWatch(descriptor_, it->first);
            it = users_.erase(it);
        } else {
            ++it;
        }
    }
    listeners_.erase(&listener);
}

void Inotify::readEvents() {
    std::vector<Event> events;
    alignas(inotify_event) std::array<char, 64 * 1024> buffer{};
    for (;;) {
        const ssize_t length = ::read(descriptor_, buffer.data(), buffer.size());
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length <= 0) {
            break; // EAGAIN: all read
        }
        const auto end = static_cast<std::size_t>(length);
        for (std::size_t offset = 0; offset + sizeof(inotify_event) <= end;) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            // The name is NUL-padded to its length.
            const char* name = buffer.data() + offset + sizeof event;
            events.push_back({event.wd, event.mask,
                              event.len > 0 ? std::string(name, ::strnlen(name, event.len)) : std::string()});
            offset += sizeof event + event.len;
        }
    }
    dispatch(events);
}

void Inotify::dispatch(const std::vector<Event>& events) {
    std::map<Listener*, std::vector<Event>> byListener;
    for (const auto& event : events) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            for (auto* listener : listeners_) {
                byListener[listener].push_back(event);
            }
            continue;
        }
        const auto found = users_.find(event.watch);
        if (found == users_.end()) {
            continue; // a watch let go since
        }
        for (const auto& [listener, count] : found->second) {
            byListener[listener].push_back(event);
        }
        if ((event.mask & IN_IGNORED) != 0) {
            users_.erase(found); // the system removed it: its folder went
        }
    }
    for (const auto& [listener, mine] : byListener) {
        // A listener may let another go while it handles its events.
        if (listeners_.contains(listener)) {
            listener->inotifyEvents(mine);
        }
    }
}

} // namespace agent
