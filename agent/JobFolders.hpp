#pragma once

#include <filesystem>
#include <vector>

namespace agent {

enum class Folder {
    userAgents,
    localAgents,
    localDaemons,
    localStartupItems,
    systemAgents,
    systemDaemons,
    systemStartupItems,
};

struct JobFolder {
    enum class Subfolder { agents, daemons, startupItems };
    // The agents, daemons and startup-items folders under a Library folder, in that order.
    static std::vector<std::filesystem::path> folders(const std::filesystem::path& libraryRoot);
};

// The seven job folders, in the order of Folder; built once, nothing on disk checked.
const std::vector<std::filesystem::path>& watchedFolders();

} // namespace agent
