#include "WatchPlan.hpp"

#include <deque>
#include <map>

namespace agent {

namespace {

std::filesystem::path normal(const std::filesystem::path& path) {
    auto result = path.lexically_normal();
    // "a/b/" and "a/b" name one folder; keep the root as it is.
    if (!result.has_filename() && result.has_relative_path()) {
        result = result.parent_path();
    }
    return result;
}

// As the system counts them: more links on one way than this is a loop.
constexpr int maxLinks = 40;

void pushFront(std::deque<std::string>& names, const std::filesystem::path& relative) {
    std::deque<std::string> front;
    for (const auto& name : relative) {
        front.push_back(name.string());
    }
    names.insert(names.begin(), front.begin(), front.end());
}

} // namespace

WatchPlan::WatchPlan(const std::filesystem::path& target)
    : target_(normal(target)) {}

Resolution WatchPlan::resolve(const LookUp& lookUp) const {
    Resolution resolution;
    auto folder = target_.is_absolute() ? target_.root_path() : std::filesystem::path(".");
    std::deque<std::string> names;
    pushFront(names, target_.relative_path());
    int links = 0;
    while (!names.empty()) {
        const std::string name = std::move(names.front());
        names.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            // The folder is a real one (every link before it followed), so its parent is the lexical one.
            if (folder.has_relative_path()) {
                folder = folder.parent_path();
            }
            continue;
        }
        const auto next = folder / name;
        const auto entry = lookUp(next);
        resolution.steps.push_back({folder, name, entry.kind == PathEntry::Kind::folder});
        if (entry.kind == PathEntry::Kind::link && links < maxLinks) {
            ++links;
            if (entry.linkTarget.is_absolute()) {
                folder = entry.linkTarget.root_path();
            }
            pushFront(names, entry.linkTarget.relative_path());
        } else if (entry.kind == PathEntry::Kind::folder) {
            folder = next;
        } else {
            resolution.folder = folder; // missing, not a folder, or a loop of links: wait here
            return resolution;
        }
    }
    resolution.folder = folder;
    resolution.reachesTarget = true;
    return resolution;
}

std::vector<FolderWatch> folderWatches(const Resolution& resolution) {
    using Events = FolderWatch::Events;
    std::map<std::filesystem::path, Events> events;
    const auto need = [&](const std::filesystem::path& folder, Events wanted) {
        auto [found, added] = events.try_emplace(folder, wanted);
        if (!added) {
            found->second = std::max(found->second, wanted);
        }
    };
    for (const auto& step : resolution.steps) {
        need(step.folder, step.isFolder ? Events::self : Events::entries);
    }
    need(resolution.folder, resolution.reachesTarget ? Events::contents : Events::entries);
    std::vector<FolderWatch> watches;
    for (const auto& [folder, wanted] : events) {
        watches.push_back({folder, wanted});
    }
    return watches;
}

} // namespace agent
