#pragma once

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace test_support {

// A fresh folder under `parent`, by default $TMPDIR (or /tmp), removed with everything in it when the
// object goes.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix = "quorvel-test", std::string parent = "") {
        const char* tmp = std::getenv("TMPDIR");
        if (parent.empty()) {
            parent = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
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
    std::filesystem::path path_;
};

} // namespace test_support
