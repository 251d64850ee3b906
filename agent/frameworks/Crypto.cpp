#include "frameworks/Gantry.hpp"

namespace gantry {

namespace {

int hexValue(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    if (digit >= 'A' && digit <= 'F') {
        return digit - 'A' + 10;
    }
    return -1;
}

} // namespace

std::string digestText(const Md5::Digest& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

std::optional<Md5::Digest> digestFromText(std::string_view text) {
    Md5::Digest digest{};
    if (text.size() != 2 * digest.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        digest[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return digest;
}

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
            return digestText(md5->digest());
        }
        md5->update(std::span<const std::uint8_t>(chunk.data(), *count));
    }
}

} // namespace gantry
