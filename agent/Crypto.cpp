#include "frameworks/Gantry.hpp"

#include <vector>

namespace gantry {

std::optional<std::string> Crypto::md5Digest(agent::ReadableFile& file) const {
    auto md5 = makeMd5_ ? makeMd5_() : nullptr;
    if (!md5) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> chunk(64 * 1024);
    for (;;) {
        const auto count = file.read(chunk);
        if (!count) {
            return std::nullopt;
        }
        if (*count == 0) {
            return md5->hexDigest();
        }
        md5->update(std::span<const std::uint8_t>(chunk.data(), *count));
    }
}

} // namespace gantry
