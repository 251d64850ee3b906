#pragma once

#include "platform/FileSystem.hpp"

#include <mutex>
#include <set>
#include <string>

namespace action_service {

// Files through POSIX calls; every descriptor is opened close-on-exec.
class PosixFileSystem final : public FileSystem {
public:
    bool exists(const std::string& path) override;
    std::optional<PlatformError> writeAtomically(const std::string& path, std::string_view bytes) override;
    std::optional<PlatformError> remove(const std::string& path) override;
    std::variant<Head, PlatformError> read(const std::string& path, std::size_t limit) override;
    PlatformError errorFor(int code) override;

    // Removes the temporary files of the writes under way, for a process that ends in their midst.
    void removeUnfinishedWrites();

private:
    void writing(const std::string& temporary, bool underWay);

    std::mutex writingMutex_;
    std::set<std::string> writing_; // temporary files of the writes under way
};

} // namespace action_service
