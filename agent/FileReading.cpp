#include "FileReading.hpp"

#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"

#include <algorithm>

namespace agent {

namespace {

// Passes reads through and keeps the first bytes, dropping them all once the bound is passed. A read that
// comes up short exactly at the size the file had when opened is its end: the status taken after the
// read tells whether the file moved, so the read that would only confirm the end is left out.
class CapturingFile final : public ReadableFile {
public:
    CapturingFile(ReadableFile& file, std::vector<std::uint8_t>& bytes, std::size_t bound, std::uint64_t size)
        : file_(file)
        , bytes_(bytes)
        , bound_(bound)
        , size_(size) {
        bytes_.clear();
    }

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        if (ended_) {
            return 0;
        }
        const auto count = file_.read(buffer);
        if (!count) {
            return count;
        }
        total_ += *count;
        ended_ = *count < buffer.size() && total_ == size_;
        if (!overflowed_ && total_ > bound_) {
            overflowed_ = true;
            bytes_.clear();
        } else if (!overflowed_) {
            bytes_.insert(bytes_.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(*count));
        }
        return count;
    }
    std::optional<FileState> state() override { return file_.state(); }

    std::uint64_t total() const { return total_; }
    bool overflowed() const { return overflowed_; }

private:
    ReadableFile& file_;
    std::vector<std::uint8_t>& bytes_;
    const std::size_t bound_;
    const std::uint64_t size_;
    std::uint64_t total_ = 0;
    bool overflowed_ = false;
    bool ended_ = false;
};

constexpr std::size_t chunkSize = 64 * 1024;

} // namespace

std::optional<DigestedFile> DigestingReader::read(const std::filesystem::path& path, TypeCheck check) {
    return readWith([&](TypeCheck how) { return files_.openRegular(path, how); }, check);
}

std::optional<DigestedFile> DigestingReader::read(OpenFolder& folder, const std::string& name,
                                                  TypeCheck check) {
    return readWith([&](TypeCheck how) { return folder.openRegular(name, how); }, check);
}

template <typename Open>
std::optional<DigestedFile> DigestingReader::readWith(const Open& open, TypeCheck check) {
    if (chunk_.empty()) {
        chunk_.resize(chunkSize);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto file = open(attempt == 0 ? check : TypeCheck::statusFirst);
        if (!file) {
            return std::nullopt;
        }
        const auto before = file->state();
        if (!before) {
            return std::nullopt;
        }
        CapturingFile capturing(*file, captured_, captureBound_, before->size);
        auto checksum = crypto_.md5Digest(capturing, chunk_);
        if (!checksum) {
            return std::nullopt;
        }
        const auto after = file->state();
        if (!after) {
            return std::nullopt;
        }
        if (*before == *after && capturing.total() == after->size) {
            std::optional<std::span<const std::uint8_t>> contents;
            if (!capturing.overflowed()) {
                contents.emplace(captured_);
            }
            return DigestedFile{std::move(*checksum), *after, contents};
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> readBounded(FileAccess& files, const std::filesystem::path& path,
                                                     std::size_t bound) {
    auto file = files.openRegular(path, TypeCheck::statusFirst);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> contents;
    std::vector<std::uint8_t> chunk(std::min<std::size_t>(bound + 1, chunkSize));
    for (;;) {
        const auto count = file->read(chunk);
        if (!count) {
            return std::nullopt;
        }
        if (*count == 0) {
            return contents;
        }
        if (*count > bound - contents.size()) {
            return std::nullopt;
        }
        contents.insert(contents.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*count));
    }
}

std::optional<PlistValue::Dictionary> readDictionary(FileAccess& files, PropertyListParser& parser,
                                                     const std::filesystem::path& path) {
    const auto bytes = readBounded(files, path, PropertyListLimits::maxBytes);
    if (!bytes) {
        return std::nullopt;
    }
    return dictionaryFromBytes(parser, *bytes);
}

} // namespace agent
