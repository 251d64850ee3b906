#pragma once

#include "frameworks/FileAccess.hpp"
#include "frameworks/Gantry.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace agent {

// One consistent reading of a file: the digest of its contents and the state it had throughout.
struct DigestedFile {
    std::string checksum;
    FileState state;
    // The contents, kept only when they are no larger than the capture bound.
    std::optional<std::vector<std::uint8_t>> contents;
};

// Reads a regular file once in chunks, digesting it and keeping up to `captureBound` bytes. When its status
// (size, dates) moved during the read (or the bytes read do not match its size), it is read once more;
// if it is still moving, or it cannot be opened or read, there is no result.
std::optional<DigestedFile> readDigested(FileAccess& files, const gantry::Crypto& crypto,
                                         const std::filesystem::path& path, std::size_t captureBound);

// The whole contents of a regular file if they are no larger than `bound`; absent otherwise.
std::optional<std::vector<std::uint8_t>> readBounded(FileAccess& files, const std::filesystem::path& path,
                                                     std::size_t bound);

} // namespace agent
