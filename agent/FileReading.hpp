#pragma once

#include "frameworks/FileAccess.hpp"
#include "frameworks/Gantry.hpp"
#include "frameworks/PropertyList.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace agent {

// One consistent reading of a file: the digest of its contents and the state it had throughout.
struct DigestedFile {
    std::string checksum;
    FileState state;
    // The contents, kept only when they are no larger than the capture bound; they live in the reader's
    // buffer, valid until its next reading.
    std::optional<std::span<const std::uint8_t>> contents;
};

// Reads regular files once each, digesting them and keeping up to `captureBound` bytes, through buffers
// kept from one file to the next (a scan reads thousands of small files).
class DigestingReader {
public:
    DigestingReader(FileAccess& files, const gantry::Crypto& crypto, std::size_t captureBound)
        : files_(files)
        , crypto_(crypto)
        , captureBound_(captureBound) {}

    // When the file's status (size, dates) moved during the read (or the bytes read do not match its size),
    // it is read once more; if it is still moving, or it cannot be opened or read, there is no result.
    std::optional<DigestedFile> read(const std::filesystem::path& path, TypeCheck check);
    // The same for the entry `name` of an open folder.
    std::optional<DigestedFile> read(OpenFolder& folder, const std::string& name, TypeCheck check);

private:
    template <typename Open> std::optional<DigestedFile> readWith(const Open& open, TypeCheck check);

    FileAccess& files_;
    const gantry::Crypto& crypto_;
    const std::size_t captureBound_;
    std::vector<std::uint8_t> chunk_;
    std::vector<std::uint8_t> captured_;
};

// The whole contents of a regular file if they are no larger than `bound`; absent otherwise.
std::optional<std::vector<std::uint8_t>> readBounded(FileAccess& files, const std::filesystem::path& path,
                                                     std::size_t bound);

// The file as a property list whose root is a dictionary; absent when it is no regular file, is larger
// than the guard's size bound, or is not such a list.
std::optional<PlistValue::Dictionary> readDictionary(FileAccess& files, PropertyListParser& parser,
                                                     const std::filesystem::path& path);

} // namespace agent
