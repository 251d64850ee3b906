#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace agent {

// What one path names on disk, as far as watching it goes.
struct PathEntry {
    enum class Kind { missing, folder, link, other };
    Kind kind = Kind::missing;
    std::filesystem::path linkTarget; // for a link
};

// One name looked up in a folder on the way to the target: that name coming, going or being replaced in
// that folder may change what the target path names.
struct WatchStep {
    std::filesystem::path folder;
    std::string name;
    bool operator==(const WatchStep&) const = default;
};

// Where the target path leads now.
struct Resolution {
    // The target folder with every link on its way followed, when it is a folder; else the last folder the
    // way reached, from which the target's coming is watched.
    std::filesystem::path folder;
    bool reachesTarget = false;
    // Every lookup on the way, in order: the target path's own folders, and those of every link's target.
    std::vector<WatchStep> steps;
    bool operator==(const Resolution&) const = default;
};

// Which folders an inotify monitor watches for its target folder. The way to the target is followed as
// the system follows it, one name at a time and through links, so that a folder above the target or above
// a link's target being renamed or replaced is seen. A missing target is waited for from the last folder
// on its way, so that its creation is seen without polling.
class WatchPlan {
public:
    using LookUp = std::function<PathEntry(const std::filesystem::path&)>;

    explicit WatchPlan(const std::filesystem::path& target);

    // The target without a trailing separator, lexically normal.
    const std::filesystem::path& target() const { return target_; }
    Resolution resolve(const LookUp& lookUp) const;

private:
    std::filesystem::path target_;
};

} // namespace agent
