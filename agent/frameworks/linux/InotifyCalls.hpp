#pragma once

#include <cstdint>

namespace agent {

// The inotify calls the folder monitors make, as the system makes them: -1 and errno on failure. Tests
// hand in calls that fail on demand.
class InotifyCalls {
public:
    virtual ~InotifyCalls() = default;
    // A non-blocking, close-on-exec inotify descriptor.
    virtual int init() = 0;
    virtual int addWatch(int descriptor, const char* path, std::uint32_t mask) = 0;
    virtual int removeWatch(int descriptor, int watch) = 0;
};

class SystemInotifyCalls final : public InotifyCalls {
public:
    int init() override;
    int addWatch(int descriptor, const char* path, std::uint32_t mask) override;
    int removeWatch(int descriptor, int watch) override;
};

} // namespace agent
