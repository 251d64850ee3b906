#pragma once

#include <algorithm>
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
    // The name is a folder and no link: its own watch sees it moved or deleted, and nothing can be put in
    // its place while it is there, so its folder need not be told of its entries.
    bool isFolder = false;
    // One step is one look-up, whatever it found.
    bool operator==(const WatchStep& other) const { return folder == other.folder && name == other.name; }
};

// Where the target path leads now.
struct Resolution {
    // The target folder with every link on its way followed, when it is a folder; else the last folder the
    // way reached, from which the target's coming is watched.
    std::filesystem::path folder;
    bool reachesTarget = false;
    // Every lookup on the way, in order: the target path's own folders, and those of every link's target.
    std::vector<WatchStep> steps;
    bool operator==(const Resolution& other) const {
        return folder == other.folder && reachesTarget == other.reachesTarget && steps == other.steps &&
               std::equal(steps.begin(), steps.end(), other.steps.begin(),
                          [](const WatchStep& a, const WatchStep& b) { return a.isFolder == b.isFolder; });
    }
};

// What the watch on one folder must tell.
struct FolderWatch {
    enum class Events {
        self,     // its own move or deletion only: a folder on the way to a folder
        entries,  // also its entries coming, going or being replaced: the next name is a link or not there
        contents, // also every change of the files in it: the target
    };
    std::filesystem::path folder;
    Events events = Events::self;
    bool operator==(const FolderWatch&) const = default;
};

// The watches a resolution asks for: each folder once, with the most any of its uses needs, in path order.
// Folders on the way are told of their entries only where a name on the way could come or be replaced
// without a watched folder moving, so that files coming and going beside the way (in the home folder,
// say) wake nobody.
std::vector<FolderWatch> folderWatches(const Resolution& resolution);

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
