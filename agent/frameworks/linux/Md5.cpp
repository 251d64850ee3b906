#include "../Gantry.hpp"

#include <algorithm>
#include <glib.h>

namespace gantry {

namespace {

class GLibMd5 final : public Md5 {
public:
    GLibMd5()
        : checksum_(g_checksum_new(G_CHECKSUM_MD5)) {}
    ~GLibMd5() override { g_checksum_free(checksum_); }
    GLibMd5(const GLibMd5&) = delete;
    GLibMd5& operator=(const GLibMd5&) = delete;

    void update(std::span<const std::uint8_t> bytes) override {
        // GChecksum takes a signed length: feed very large spans in pieces.
        constexpr std::size_t piece = std::size_t{1} << 30;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const auto length = std::min(piece, bytes.size() - at);
            g_checksum_update(checksum_, bytes.data() + at, static_cast<gssize>(length));
        }
    }
    Digest digest() override {
        Digest bytes{};
        gsize length = bytes.size();
        g_checksum_get_digest(checksum_, bytes.data(), &length);
        return bytes;
    }

private:
    GChecksum* checksum_;
};

} // namespace

std::unique_ptr<Md5> makeMd5() {
    return std::make_unique<GLibMd5>();
}

} // namespace gantry
