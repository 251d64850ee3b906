#pragma once

#include <cstddef>
#include <filesystem>
#include <system_error>

namespace test_support {

// The entries directly in a folder (0 if it cannot be listed): a process's descriptors or threads under
// /proc, say.
inline std::size_t entriesIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(folder, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count;
}

} // namespace test_support
