#include "../HomeFolder.hpp"

#include <glib.h>

namespace agent {

std::string realHomeFolderPath() {
    return g_get_home_dir();
}

} // namespace agent
