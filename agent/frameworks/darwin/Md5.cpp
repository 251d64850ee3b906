#include "../Gantry.hpp"

#include <CommonCrypto/CommonDigest.h>
#include <algorithm>
#include <tuple>

namespace gantry {

namespace {

class CommonCryptoMd5 final : public Md5 {
public:
    CommonCryptoMd5() { CC_MD5_Init(&context_); }

    void update(std::span<const std::uint8_t> bytes) override {
        // CC_MD5_Update takes a 32-bit length: feed very large spans in pieces.
        constexpr std::size_t piece = std::size_t{1} << 30;
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const auto length = std::min(piece, bytes.size() - at);
            CC_MD5_Update(&context_, bytes.data() + at, static_cast<CC_LONG>(length));
        }
    }

    Digest digest() override {
        static_assert(std::tuple_size_v<Digest> == CC_MD5_DIGEST_LENGTH);
        Digest bytes{};
        CC_MD5_Final(bytes.data(), &context_);
        return bytes;
    }

private:
    CC_MD5_CTX context_;
};

} // namespace

std::unique_ptr<Md5> makeMd5() {
    return std::make_unique<CommonCryptoMd5>();
}

} // namespace gantry
