#include "WatchPlan.hpp"

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

} // namespace

WatchPlan::WatchPlan(const std::filesystem::path& target)
    : target_(normal(target)) {}

std::filesystem::path WatchPlan::folderToWatch(const IsFolder& isFolder) const {
    auto candidate = target_;
    while (!isFolder(candidate)) {
        auto parent = candidate.parent_path();
        if (parent.empty() || parent == candidate) {
            return candidate; // the root (or a relative path's start): watch it as it is
        }
        candidate = parent;
    }
    return candidate;
}

bool WatchPlan::leadsToTarget(const std::filesystem::path& watched, std::string_view name) const {
    const auto folder = normal(watched);
    auto rest = target_.lexically_relative(folder);
    if (rest.empty() || *rest.begin() == "..") {
        return false;
    }
    return *rest.begin() == std::filesystem::path(name);
}

} // namespace agent
