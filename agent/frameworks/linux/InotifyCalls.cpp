#include "InotifyCalls.hpp"

#include <sys/inotify.h>

namespace agent {

int SystemInotifyCalls::init() {
    return ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

int SystemInotifyCalls::addWatch(int descriptor, const char* path, std::uint32_t mask) {
    return ::inotify_add_watch(descriptor, path, mask);
}

int SystemInotifyCalls::removeWatch(int descriptor, int watch) {
    return ::inotify_rm_watch(descriptor, watch);
}

} // namespace agent
