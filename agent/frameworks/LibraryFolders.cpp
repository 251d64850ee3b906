#include "ShownText.hpp"
#include "frameworks/HomeFolder.hpp"
#include "frameworks/Mortar.hpp"

namespace mortar {

const std::filesystem::path& URL::NonSandboxedUser::library() {
    static const std::filesystem::path url =
        std::filesystem::path(File::nonSandboxedHomeFolderPath()) / "Library" / "";
    return url;
}

const std::filesystem::path& URL::Local::library() {
    static const std::filesystem::path url = "/Library/";
    return url;
}

const std::filesystem::path& URL::System::library() {
    static const std::filesystem::path url = "/System/Library/";
    return url;
}

const std::string& File::nonSandboxedHomeFolderPath() {
    // "/home/u/" and "/home/u" are one folder; job file paths and the shortening take the second.
    static const std::string path = withoutTrailingSeparators(agent::realHomeFolderPath());
    return path;
}

} // namespace mortar
