#pragma once

#include "PlatformError.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace action_service {

class FileSystem {
public:
    virtual ~FileSystem() = default;

    virtual bool exists(const std::string& path) = 0;
    // Temporary file in the destination's folder, written whole and synced, then renamed over the
    // destination. A new file gets 0666 less the umask; an existing file keeps its permission bits.
    // On failure the destination is untouched and no temporary file is left. No folder is created.
    virtual std::optional<PlatformError> writeAtomically(const std::string& path, std::string_view bytes) = 0;
    // Removes a file, or a folder with its contents. A missing path is an error.
    virtual std::optional<PlatformError> remove(const std::string& path) = 0;
    // The whole file's bytes.
    virtual std::variant<std::string, PlatformError> read(const std::string& path) = 0;
};

} // namespace action_service
