#include "JobFolders.hpp"

#include "frameworks/Mortar.hpp"

namespace agent {

namespace {

std::string_view nameOf(JobFolder::Subfolder subfolder) {
    switch (subfolder) {
    case JobFolder::Subfolder::agents:
        return mortar::Const::PathComponent::launchAgents;
    case JobFolder::Subfolder::daemons:
        return mortar::Const::PathComponent::launchDaemons;
    case JobFolder::Subfolder::startupItems:
        return mortar::Const::PathComponent::startupItems;
    }
    return {};
}

// A folder URL ends in a separator: it marks the entry as a directory.
std::filesystem::path folderURL(const std::filesystem::path& libraryRoot, JobFolder::Subfolder subfolder) {
    return libraryRoot / std::filesystem::path(nameOf(subfolder)) / "";
}

} // namespace

std::vector<std::filesystem::path> JobFolder::folders(const std::filesystem::path& libraryRoot) {
    return {folderURL(libraryRoot, Subfolder::agents), folderURL(libraryRoot, Subfolder::daemons),
            folderURL(libraryRoot, Subfolder::startupItems)};
}

const std::vector<std::filesystem::path>& watchedFolders() {
    static const std::vector<std::filesystem::path> folders = [] {
        std::vector<std::filesystem::path> list{
            folderURL(mortar::URL::NonSandboxedUser::library(), JobFolder::Subfolder::agents)};
        for (const auto& root : {mortar::URL::Local::library(), mortar::URL::System::library()}) {
            const auto group = JobFolder::folders(root);
            list.insert(list.end(), group.begin(), group.end());
        }
        return list;
    }();
    return folders;
}

} // namespace agent
