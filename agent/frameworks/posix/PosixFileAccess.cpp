#include "../FileAccess.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace agent {

namespace {

// POSIX names the full-precision date st_mtim; macOS calls it st_mtimespec.
template <typename Status> FileDate modificationDate(const Status& status) {
    if constexpr (requires { status.st_mtim; }) {
        return FileDate(std::chrono::seconds(status.st_mtim.tv_sec) +
                        std::chrono::nanoseconds(status.st_mtim.tv_nsec));
    } else {
        return FileDate(std::chrono::seconds(status.st_mtimespec.tv_sec) +
                        std::chrono::nanoseconds(status.st_mtimespec.tv_nsec));
    }
}

class PosixReadableFile final : public ReadableFile {
public:
    explicit PosixReadableFile(int descriptor)
        : descriptor_(descriptor) {}
    ~PosixReadableFile() override { ::close(descriptor_); }
    PosixReadableFile(const PosixReadableFile&) = delete;
    PosixReadableFile& operator=(const PosixReadableFile&) = delete;

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        for (;;) {
            const auto count = ::read(descriptor_, buffer.data(), buffer.size());
            if (count >= 0) {
                return static_cast<std::size_t>(count);
            }
            if (errno != EINTR) {
                return std::nullopt;
            }
        }
    }

    std::optional<FileState> state() override {
        struct stat status {};
        if (::fstat(descriptor_, &status) != 0) {
            return std::nullopt;
        }
        return FileState{static_cast<std::uint64_t>(status.st_size), modificationDate(status)};
    }

private:
    const int descriptor_;
};

class PosixFileAccess final : public FileAccess {
public:
    std::optional<std::vector<FolderEntry>> list(const std::filesystem::path& folder) override {
        const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) {
            return std::nullopt;
        }
        DIR* directory = ::fdopendir(descriptor);
        if (directory == nullptr) {
            ::close(descriptor);
            return std::nullopt;
        }
        std::vector<FolderEntry> entries;
        bool failed = false;
        for (;;) {
            errno = 0; // readdir tells the end from an error only through errno
            const dirent* entry = ::readdir(directory);
            if (entry == nullptr) {
                failed = errno != 0;
                break;
            }
            if (entry->d_name[0] == '.') {
                continue; // hidden, and "." and ".."
            }
            FolderEntry listed{folder / entry->d_name, std::nullopt};
            struct stat status {};
            if (::stat(listed.path.c_str(), &status) == 0) {
                listed.modified = modificationDate(status);
            }
            entries.push_back(std::move(listed));
        }
        ::closedir(directory);
        if (failed) {
            return std::nullopt;
        }
        return entries;
    }

    std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file) override {
        // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
        const int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (descriptor < 0) {
            return nullptr;
        }
        struct stat status {};
        if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(descriptor);
            return nullptr;
        }
        const int flags = ::fcntl(descriptor, F_GETFL);
        if (flags < 0 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            ::close(descriptor);
            return nullptr;
        }
        return std::make_unique<PosixReadableFile>(descriptor);
    }
};

} // namespace

std::unique_ptr<FileAccess> makeFileAccess() {
    return std::make_unique<PosixFileAccess>();
}

} // namespace agent
