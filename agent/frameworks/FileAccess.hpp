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

struct FolderEntry {
    std::filesystem::path path;       // full path of the entry
    std::optional<FileDate> modified; // absent when it cannot be read
};

struct FileState {
    std::uint64_t size = 0;
    FileDate modified;
};

// A regular file opened for reading.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // Bytes read into buffer; 0 at end of file; absent on a read error.
    virtual std::optional<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
    // Size and modification date of the open file now.
    virtual std::optional<FileState> state() = 0;
};

// Every read of the agent goes through here.
class FileAccess {
public:
    virtual ~FileAccess() = default;
    // The entries directly inside a folder, hidden entries (leading '.') left out, no descent;
    // absent when the folder cannot be listed.
    virtual std::optional<std::vector<FolderEntry>> list(const std::filesystem::path& folder) = 0;
    // Opens a file only if it is a regular file after following links, without ever blocking
    // (a FIFO, socket or device is refused, not waited on). nullptr otherwise.
    virtual std::unique_ptr<ReadableFile> openRegular(const std::filesystem::path& file) = 0;
};

// The platform's file access (POSIX on Linux and macOS).
std::unique_ptr<FileAccess> makeFileAccess();

} // namespace agent
