#include "../FileAccess.hpp"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace agent {

namespace {

FileDate dateOf(const timespec& time) {
    return FileDate(std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec));
}

// POSIX names the full-precision dates st_mtim and st_ctim; macOS calls them st_mtimespec and st_ctimespec.
template <typename Status> FileState fileState(const Status& status) {
    FileState state{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                    static_cast<std::uint64_t>(status.st_size), FileDate(), FileDate()};
    if constexpr (requires { status.st_mtim; }) {
        state.modified = dateOf(status.st_mtim);
        state.statusChanged = dateOf(status.st_ctim);
    } else {
        state.modified = dateOf(status.st_mtimespec);
        state.statusChanged = dateOf(status.st_ctimespec);
    }
    return state;
}

class PosixReadableFile final : public ReadableFile {
public:
    PosixReadableFile(int descriptor, const FileState& opened)
        : descriptor_(descriptor)
        , opened_(opened) {}
    ~PosixReadableFile() override { ::close(descriptor_); }
    PosixReadableFile(const PosixReadableFile&) = delete;
    PosixReadableFile& operator=(const PosixReadableFile&) = delete;

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        opened_.reset();
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
        if (opened_) {
            // Nothing read since the status taken at opening: asking again would tell the same.
            return std::exchange(opened_, std::nullopt);
        }
        struct stat status {};
        if (::fstat(descriptor_, &status) != 0) {
            return std::nullopt;
        }
        return fileState(status);
    }

private:
    const int descriptor_;
    std::optional<FileState> opened_;
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
            FolderEntry listed{folder / entry->d_name, FolderEntry::Type::unknown, std::nullopt};
            struct stat status {};
            if (::stat(listed.path.c_str(), &status) == 0) {
                listed.type =
                    S_ISREG(status.st_mode) ? FolderEntry::Type::regularFile : FolderEntry::Type::other;
                if (S_ISREG(status.st_mode)) {
                    listed.state = fileState(status);
                }
            } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG) {
                listed.type = FolderEntry::Type::other; // no file behind the name
            }
            entries.push_back(std::move(listed));
        }
        ::closedir(directory);
        if (failed) {
            return std::nullopt;
        }
        return entries;
    }

    std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) override {
        // Refused by its status first: opening a FIFO, even without blocking, releases a writer waiting on
        // it.
        struct stat listed {};
        if (check == TypeCheck::statusFirst &&
            (::stat(file.c_str(), &listed) != 0 || !S_ISREG(listed.st_mode))) {
            return nullptr;
        }
        // Non-blocking and checked again once open, for a FIFO or device put at the path since. The flag
        // stays: reads of a regular file ignore it.
        const int descriptor = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (descriptor < 0) {
            return nullptr;
        }
        struct stat status {};
        if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
            ::close(descriptor);
            return nullptr;
        }
        return std::make_unique<PosixReadableFile>(descriptor, fileState(status));
    }
};

} // namespace

std::unique_ptr<FileAccess> makeFileAccess() {
    return std::make_unique<PosixFileAccess>();
}

} // namespace agent
