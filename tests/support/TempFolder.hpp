#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace test_support {

// A fresh folder under `parent`, by default $TMPDIR (or /dev/shm, else /tmp), removed with everything in it
// when the object goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "quorvel-test", std::string parent = "") {
        const char* tmp = std::getenv("TMPDIR");
        if (parent.empty()) {
            parent = tmp != nullptr && *tmp != '\0' ? tmp : defaultParent();
        }
        std::string pattern = parent + "/" + prefix + ".XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed for " + pattern);
        }
        path_ = buffer.data();
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    // Memory-backed where the system has it: tests create thousands of small files and processes, and a
    // disk file system makes each creation cost a millisecond or more on a busy machine.
    static std::string defaultParent() {
        return ::access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    }

    std::filesystem::path path_;
};

} // namespace test_support
