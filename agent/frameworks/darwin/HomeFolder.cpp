#include "../HomeFolder.hpp"

#include <pwd.h>
#include <unistd.h>

namespace agent {

// The password database's entry of the user: inside the sandbox HOME and NSHomeDirectory() name the
// container instead.
std::string realHomeFolderPath() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? std::string(entry->pw_dir) : std::string();
}

} // namespace agent
