#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
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
    std::string name;               // the entry's name in its folder
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

// A folder held open while it is scanned: its entries are looked at and opened by name, relative to it,
// so that no call walks the folder's path again.
class OpenFolder {
public:
    virtual ~OpenFolder() = default;
    // The entries directly inside the folder with their status, hidden entries (leading '.') left out, no
    // descent, written over `entries` (whose storage is reused from one listing to the next); false when
    // the folder cannot be listed.
    virtual bool list(std::vector<FolderEntry>& entries) = 0;
    // As FileAccess::openRegular, for the entry `name` of this folder.
    virtual std::unique_ptr<ReadableFile> openRegular(const std::string& name, TypeCheck check) = 0;
};

// Every read of the agent goes through here.
class FileAccess {
public:
    virtual ~FileAccess() = default;
    // The folder, open for listing; nullptr when it cannot be opened.
    virtual std::unique_ptr<OpenFolder> openFolder(const std::filesystem::path& folder) = 0;
    // Opens a file only if it is a regular file after following links, without ever blocking or reading
    // anything else: a FIFO, socket or device is refused by its status before any open (since even a
    // non-blocking open of a FIFO releases a writer waiting on it), and once more after opening. nullptr
    // otherwise.
    virtual std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file, TypeCheck check) = 0;
};

// The platform's file access (POSIX on Linux and macOS).
std::unique_ptr<FileAccess> makeFileAccess();

} // namespace agent
