#include "PosixFileSystem.hpp"

#include "PosixError.hpp"
#include "Utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace action_service {

namespace {

// umask() can only be read by setting it, and it is process-wide: between the two calls another
// thread would create files with the wrong mask. /proc/self/status (Linux 4.7 and later) shows it
// without changing it; elsewhere it is read once, at first use, under the static's guard.
mode_t processUmask() {
    static const mode_t mask = [] {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("Umask:", 0) == 0) {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
            }
        }
        mode_t old = ::umask(022);
        ::umask(old);
        return old;
    }();
    return mask;
}

// Temporary files of earlier writes that were killed before their rename: regular files named
// `prefix` and six characters, untouched for a minute (a write still under way keeps its file fresh).
void removeStaleTemporaries(const std::string& folder, const std::string& prefix) {
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        return;
    }
    DIR* listing = ::fdopendir(folderFd);
    if (listing == nullptr) {
        ::close(folderFd);
        return;
    }
    const time_t staleBefore = ::time(nullptr) - 60;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view entryName = entry->d_name;
        if (entryName.size() != prefix.size() + 6 || entryName.substr(0, prefix.size()) != prefix) {
            continue;
        }
        struct stat info {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_mtime < staleBefore) {
            stale.emplace_back(entryName);
        }
    }
    for (const auto& entryName : stale) {
        ::unlinkat(folderFd, entryName.c_str(), 0);
    }
    ::closedir(listing);
}

// The C calls end a path at its first NUL byte; such a path would name its own prefix.
bool holdsNul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

std::optional<PlatformError> lastError() {
    return posixError(errno);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The names in the folder open at `fd`, "." and ".." left out. Reads through a duplicate, which
// closedir takes back, so `fd` stays open.
int listNames(int fd, std::vector<std::string>& names) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        return errno;
    }
    DIR* listing = ::fdopendir(copy);
    if (listing == nullptr) {
        const int error = errno;
        ::close(copy);
        return error;
    }
    // The copy shares its offset with `fd`: start from the top whatever read it before.
    ::rewinddir(listing);
    errno = 0;
    while (const dirent* entry = ::readdir(listing)) {
        std::string child = entry->d_name;
        if (child != "." && child != "..") {
            names.push_back(std::move(child));
        }
    }
    const int error = errno;
    ::closedir(listing);
    return error;
}

// A folder on the way down of a removal.
struct OpenFolder {
    std::string name; // in its parent
    int fd = -1;      // -1 while closed to spare descriptors
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::string> names; // entries still to remove
};

// Folders nearer the top than this keep their descriptor open; deeper ones are closed on the way down
// and opened again through ".." on the way up, so that a tree deeper than the descriptor limit is
// removed too and other requests are never left without descriptors.
constexpr std::size_t heldFolders = 16;

int openFolder(int parent, const std::string& name, std::vector<OpenFolder>& folders) {
    OpenFolder folder;
    folder.name = name;
    folder.fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.fd < 0) {
        return errno;
    }
    struct stat info {};
    int error = ::fstat(folder.fd, &info) != 0 ? errno : listNames(folder.fd, folder.names);
    if (error != 0) {
        ::close(folder.fd);
        return error;
    }
    folder.device = info.st_dev;
    folder.inode = info.st_ino;
    folders.push_back(std::move(folder));
    if (folders.size() > heldFolders) {
        OpenFolder& far = folders[folders.size() - 1 - heldFolders];
        if (far.fd >= 0) {
            ::close(far.fd);
            far.fd = -1;
        }
    }
    return 0;
}

// Opens the closed parent of `child` again through "..", refusing a folder other than the one left:
// the tree was moved meanwhile, and the removal must not go on somewhere else.
int reopenParent(const OpenFolder& child, OpenFolder& parent) {
    const int fd = ::openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_dev != parent.device || info.st_ino != parent.inode) {
        ::close(fd);
        return EBUSY;
    }
    parent.fd = fd;
    return 0;
}

// Removes the entry `name` of the folder open at `folder`, descending into folders without ever
// following a symbolic link (a link is removed itself). Iterative, and with a bounded number of open
// descriptors, whatever the depth.
int removeAt(int folder, const char* name) {
    struct stat info {};
    if (::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ::unlinkat(folder, name, 0) == 0 ? 0 : errno;
    }
    std::vector<OpenFolder> folders;
    int error = openFolder(folder, name, folders);
    while (error == 0 && !folders.empty()) {
        const std::size_t top = folders.size() - 1;
        if (!folders[top].names.empty()) {
            const std::string child = std::move(folders[top].names.back());
            folders[top].names.pop_back();
            struct stat childInfo {};
            if (::fstatat(folders[top].fd, child.c_str(), &childInfo, AT_SYMLINK_NOFOLLOW) != 0) {
                error = errno;
            } else if (S_ISDIR(childInfo.st_mode)) {
                error = openFolder(folders[top].fd, child, folders);
            } else if (::unlinkat(folders[top].fd, child.c_str(), 0) != 0) {
                error = errno;
            }
            continue;
        }
        // Emptied: remove it from its parent.
        if (top > 0 && folders[top - 1].fd < 0) {
            error = reopenParent(folders[top], folders[top - 1]);
        }
        ::close(folders[top].fd);
        const int parent = top > 0 ? folders[top - 1].fd : folder;
        if (error == 0 && ::unlinkat(parent, folders[top].name.c_str(), AT_REMOVEDIR) != 0) {
            error = errno;
        }
        folders.pop_back();
    }
    for (const OpenFolder& open : folders) {
        if (open.fd >= 0) {
            ::close(open.fd);
        }
    }
    return error;
}

} // namespace

bool PosixFileSystem::exists(const std::string& path) {
    struct stat info {};
    return !holdsNul(path) && ::stat(path.c_str(), &info) == 0;
}

std::optional<PlatformError> PosixFileSystem::writeAtomically(const std::string& path,
                                                              std::string_view bytes) {
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (path.empty()) {
        return posixError(ENOENT);
    }
    if (holdsNul(path)) {
        return posixError(EINVAL);
    }
    if (name.empty()) {
        return posixError(EISDIR);
    }

    mode_t mode = 0666 & ~processUmask();
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0) {
        // Only the read, write and execute bits: a rewritten file must not become, or stay, a
        // set-user-ID or set-group-ID program, and a job file has no use for the sticky bit.
        mode = existing.st_mode & 0777;
    }

    // A name may already be as long as the folder allows: the temporary one keeps only a short head of
    // it, cut on a character boundary. It is hidden and does not end in ".plist", so a write killed
    // half-way leaves nothing that launchd or the agent would take for a job.
    std::string_view head = name;
    if (head.size() > 64) {
        head = head.substr(0, 64);
        head = head.substr(0, wholeCharactersLength(head));
    }
    const std::string prefix = "." + std::string(head) + ".";
    removeStaleTemporaries(folder, prefix);
    std::string temporary = folder + prefix + "XXXXXX";
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return lastError();
    }
    writing(temporary, true);
    struct Done {
        PosixFileSystem& files;
        const std::string& temporary;
        ~Done() { files.writing(temporary, false); }
    } done{*this, temporary};
    auto fail = [&](int error) -> std::optional<PlatformError> {
        if (fd >= 0) {
            ::close(fd);
        }
        ::unlink(temporary.c_str());
        return posixError(error);
    };
    // Synced before the rename: otherwise a crash could leave an empty file under the old name.
    if (!writeAll(fd, bytes) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        return fail(errno);
    }
    int closed = ::close(fd);
    fd = -1;
    if (closed != 0) {
        return fail(errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        return fail(errno);
    }
    // Make the new name durable too; a folder that cannot be synced still holds the file.
    int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return std::nullopt;
}

void PosixFileSystem::writing(const std::string& temporary, bool underWay) {
    std::lock_guard lock(writingMutex_);
    if (underWay) {
        writing_.insert(temporary);
    } else {
        writing_.erase(temporary);
    }
}

void PosixFileSystem::removeUnfinishedWrites() {
    std::lock_guard lock(writingMutex_);
    for (const std::string& temporary : writing_) {
        ::unlink(temporary.c_str());
    }
}

std::optional<PlatformError> PosixFileSystem::remove(const std::string& path) {
    if (holdsNul(path)) {
        return posixError(EINVAL);
    }
    // The item is what the path names: "link/" is the link, not the folder it points to, whose
    // contents a trailing separator would otherwise make us empty.
    std::string item = path;
    while (item.size() > 1 && item.back() == '/') {
        item.pop_back();
    }
    if (int error = removeAt(AT_FDCWD, item.c_str()); error != 0) {
        return posixError(error);
    }
    return std::nullopt;
}

std::variant<FileSystem::Head, PlatformError> PosixFileSystem::read(const std::string& path,
                                                                    std::size_t limit) {
    if (holdsNul(path)) {
        return posixError(EINVAL);
    }
    // Non-blocking open: a FIFO at the path must not hang the request.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return posixError(errno);
    }
    struct stat info {};
    int refused = 0;
    if (::fstat(fd, &info) != 0) {
        refused = errno;
    } else if (S_ISDIR(info.st_mode)) {
        refused = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        refused = EINVAL;
    }
    if (refused != 0) {
        ::close(fd);
        return posixError(refused);
    }
    Head head;
    head.bytes.reserve(std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(info.st_size)));
    char block[65536];
    while (head.bytes.size() < limit) {
        const ssize_t count = ::read(fd, block, std::min(sizeof block, limit - head.bytes.size()));
        if (count > 0) {
            head.bytes.append(block, static_cast<std::size_t>(count));
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
            const int error = errno;
            ::close(fd);
            return posixError(error);
        }
    }
    // Seen after the read, so bytes appended meanwhile count too.
    const std::uint64_t kept = head.bytes.size();
    head.size = ::fstat(fd, &info) == 0 ? std::max(static_cast<std::uint64_t>(info.st_size), kept) : kept;
    ::close(fd);
    return head;
}

PlatformError PosixFileSystem::errorFor(int code) {
    return posixError(code);
}

} // namespace action_service
