#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace agent {

// Which folder an inotify monitor watches for its target folder. A missing target is waited for from the
// nearest ancestor that exists, so that its creation is seen without polling.
class WatchPlan {
public:
    using IsFolder = std::function<bool(const std::filesystem::path&)>;

    explicit WatchPlan(const std::filesystem::path& target);

    // The target without a trailing separator, lexically normal.
    const std::filesystem::path& target() const { return target_; }
    // The target itself when it is a folder, else its nearest ancestor that is ("/" at worst).
    std::filesystem::path folderToWatch(const IsFolder& isFolder) const;
    // Whether an entry named `name` appearing in the watched ancestor `watched` may be the next step
    // towards the target.
    bool leadsToTarget(const std::filesystem::path& watched, std::string_view name) const;

private:
    std::filesystem::path target_;
};

} // namespace agent
