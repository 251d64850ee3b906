#include "frameworks/Gantry.hpp"

namespace gantry {

namespace {

std::string lowerHex(const Md5::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

} // namespace

std::optional<std::string> Crypto::md5Digest(agent::ReadableFile& file, std::span<std::uint8_t> chunk) const {
    auto md5 = makeMd5_ ? makeMd5_() : nullptr;
    if (!md5 || chunk.empty()) {
        return std::nullopt;
    }
    for (;;) {
        const auto count = file.read(chunk);
        if (!count) {
            return std::nullopt;
        }
        if (*count == 0) {
            return lowerHex(md5->digest());
        }
        md5->update(std::span<const std::uint8_t>(chunk.data(), *count));
    }
}

} // namespace gantry
