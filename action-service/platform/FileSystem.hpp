#pragma once

#include "PlatformError.hpp"

#include <cstddef>
#include <cstdint>
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
    // destination. A new file gets 0666 less the umask; an existing file keeps its read, write and
    // execute bits (set-user-ID, set-group-ID and sticky are dropped: a job file is none of them).
    // On failure the destination is untouched and no temporary file is left. No folder is created.
    virtual std::optional<PlatformError> writeAtomically(const std::string& path, std::string_view bytes) = 0;
    // Removes a file, or a folder with its contents. A missing path is an error.
    virtual std::optional<PlatformError> remove(const std::string& path) = 0;
    struct Head {
        std::string bytes;      // at most the limit asked for, from the start
        std::uint64_t size = 0; // the file's size once they were read
    };
    // The first bytes of a regular file, at most `limit` of them, so that no file, however large,
    // is held whole in memory. Opening never blocks (a FIFO at the path is refused).
    virtual std::variant<Head, PlatformError> read(const std::string& path, std::size_t limit) = 0;
    // The error these operations report for the POSIX error number `code`.
    virtual PlatformError errorFor(int code) = 0;
};

} // namespace action_service
