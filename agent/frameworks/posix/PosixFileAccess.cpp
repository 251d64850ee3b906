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

// Opens `name` relative to the folder `at` (AT_FDCWD: a full path) only if it is a regular file.
std::unique_ptr<ReadableFile> openRegularAt(int at, const char* name, TypeCheck check) {
    // Refused by its status first: opening a FIFO, even without blocking, releases a writer waiting on it.
    struct stat listed {};
    if (check == TypeCheck::statusFirst &&
        (::fstatat(at, name, &listed, 0) != 0 || !S_ISREG(listed.st_mode))) {
        return nullptr;
    }
    // Non-blocking and checked again once open, for a FIFO or device put at the path since. The flag stays:
    // reads of a regular file ignore it.
    const int descriptor = ::openat(at, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
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

class PosixOpenFolder final : public OpenFolder {
public:
    explicit PosixOpenFolder(DIR* directory)
        : directory_(directory) {}
    ~PosixOpenFolder() override { ::closedir(directory_); }
    PosixOpenFolder(const PosixOpenFolder&) = delete;
    PosixOpenFolder& operator=(const PosixOpenFolder&) = delete;

    bool list(std::vector<FolderEntry>& entries) override {
        ::rewinddir(directory_);
        const int at = ::dirfd(directory_);
        std::size_t count = 0;
        for (;;) {
            errno = 0; // readdir tells the end from an error only through errno
            const dirent* entry = ::readdir(directory_);
            if (entry == nullptr) {
                if (errno != 0) {
                    entries.clear();
                    return false;
                }
                break;
            }
            if (entry->d_name[0] == '.') {
                continue; // hidden, and "." and ".."
            }
            if (count == entries.size()) {
                entries.emplace_back();
            }
            // Written over an earlier listing's entry, so that its name keeps its storage.
            auto& listed = entries[count++];
            listed.name.assign(entry->d_name);
            listed.type = FolderEntry::Type::unknown;
            listed.state.reset();
            struct stat status {};
            if (::fstatat(at, entry->d_name, &status, 0) == 0) {
                listed.type =
                    S_ISREG(status.st_mode) ? FolderEntry::Type::regularFile : FolderEntry::Type::other;
                if (S_ISREG(status.st_mode)) {
                    listed.state = fileState(status);
                }
            } else if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG) {
                listed.type = FolderEntry::Type::other; // no file behind the name
            }
        }
        entries.resize(count);
        return true;
    }

    std::unique_ptr<ReadableFile> openRegular(const std::string& name, TypeCheck check) override {
        return openRegularAt(::dirfd(directory_), name.c_str(), check);
    }

private:
    DIR* const directory_;
};

class PosixFileAccess final : public FileAccess {
public:
    std::unique_ptr<OpenFolder> openFolder(const std::filesystem::path& folder) override {
        const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (descriptor < 0) {
            return nullptr;
        }
        DIR* directory = ::fdopendir(descriptor);
        if (directory == nullptr) {
            ::close(descriptor);
            return nullptr;
        }
        return std::make_unique<PosixOpenFolder>(directory);
    }

    std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) override {
        return openRegularAt(AT_FDCWD, file.c_str(), check);
    }
};

} // namespace

std::unique_ptr<FileAccess> makeFileAccess() {
    return std::make_unique<PosixFileAccess>();
}

} // namespace agent
