#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace agent {

// A content modification date at the file system's full precision.
using FileDate = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// One version of a file as its status tells it. A write, a truncation, a date set by hand or another file
// put at the path moves at least one of these, since every change of a file sets its status-change time.
struct FileState {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    FileDate modified;
    FileDate statusChanged;
    bool operator==(const FileState&) const = default;
};

struct FolderEntry {
    enum class Type {
        regularFile, // after following links
        other,   // a folder, FIFO, socket or device, a dangling link or loop of links, or gone since listed
        unknown, // its status could not be read (permissions, an I/O error)
    };
    std::filesystem::path path;     // full path of the entry
    Type type = Type::unknown;      // from the listing's status, following links
    std::optional<FileState> state; // present for a regular file
};

// A regular file opened for reading.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // Bytes read into buffer; 0 at end of file; absent on a read error.
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
    // The status of the open file now (before any read, it may be the status read
    // as it was opened, which is that same status).
    virtual std::optional<FileState> state() = 0;
};

// How openRegular learns that a path names a regular file.
enum class TypeCheck {
    // By its status just before opening.
    statusFirst,
    // From a listing just made: the scan has each entry's status already, and a second one only narrows
    // the moment in which something else could be put at the path.
    listed,
};

// Every read of the agent goes through here.
class FileAccess {
public:
    virtual ~FileAccess() = default;
    // The entries directly inside a folder with their status, hidden entries (leading '.') left out, no
    // descent; absent when the folder cannot be listed.
    virtual std::optional<std::vector<FolderEntry>> list(const std::filesystem::path& folder) = 0;
    // Opens a file only if it is a regular file after following links, without ever blocking or reading
    // anything else: a FIFO, socket or device is refused by its status before any open (since even a
    // non-blocking open of a FIFO releases a writer waiting on it), and once more after opening. nullptr
    // otherwise.
    virtual std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) = 0;
};

// The platform's file access (POSIX on Linux and macOS).
std::unique_ptr<FileAccess> makeFileAccess();

} // namespace agent
