#include "FileReading.hpp"

#include <algorithm>

namespace agent {

namespace {

// Passes reads through and keeps the first bytes, dropping them all once the bound is passed.
class CapturingFile final : public ReadableFile {
public:
    CapturingFile(ReadableFile& file, std::size_t bound)
        : file_(file)
        , bound_(bound) {}

    std::optional<std::size_t> read(std::span<std::uint8_t> buffer) override {
        const auto count = file_.read(buffer);
        if (count) {
            total_ += *count;
            if (!overflowed_ && total_ > bound_) {
                overflowed_ = true;
                std::vector<std::uint8_t>().swap(bytes_);
            } else if (!overflowed_) {
                bytes_.insert(bytes_.end(), buffer.begin(),
                              buffer.begin() + static_cast<std::ptrdiff_t>(*count));
            }
        }
        return count;
    }
    std::optional<FileState> state() override { return file_.state(); }

    std::uint64_t total() const { return total_; }
    std::optional<std::vector<std::uint8_t>> takeBytes() {
        return overflowed_ ? std::nullopt : std::optional(std::move(bytes_));
    }

private:
    ReadableFile& file_;
    const std::size_t bound_;
    std::uint64_t total_ = 0;
    bool overflowed_ = false;
    std::vector<std::uint8_t> bytes_;
};

} // namespace

std::optional<DigestedFile> readDigested(FileAccess& files, const gantry::Crypto& crypto,
                                         const std::filesystem::path& path, std::size_t captureBound) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto file = files.openRegular(path);
        if (!file) {
            return std::nullopt;
        }
        const auto before = file->state();
        if (!before) {
            return std::nullopt;
        }
        CapturingFile capturing(*file, captureBound);
        auto checksum = crypto.md5Digest(capturing);
        if (!checksum) {
            return std::nullopt;
        }
        const auto after = file->state();
        if (!after) {
            return std::nullopt;
        }
        if (*before == *after && capturing.total() == after->size) {
            return DigestedFile{std::move(*checksum), *after, capturing.takeBytes()};
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> readBounded(FileAccess& files, const std::filesystem::path& path,
                                                     std::size_t bound) {
    auto file = files.openRegular(path);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> contents;
    std::vector<std::uint8_t> chunk(std::min<std::size_t>(bound + 1, 64 * 1024));
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

} // namespace agent
