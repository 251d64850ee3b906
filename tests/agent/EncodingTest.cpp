#include "frameworks/Gantry.hpp"
#include "frameworks/Mortar.hpp"

#include <gtest/gtest.h>
#include <vector>

namespace {

std::string base64(std::string text) {
    mortar::toBase64(text);
    return text;
}

// A file that is read to its end at once, digested by an MD5 that always yields the same bytes.
class EmptyFile final : public agent::ReadableFile {
public:
    std::optional<std::size_t> read(std::span<std::uint8_t>) override { return 0; }
    std::optional<agent::FileState> state() override { return agent::FileState{}; }
};

class FixedMd5 final : public gantry::Md5 {
public:
    explicit FixedMd5(Digest digest)
        : digest_(digest) {}
    void update(std::span<const std::uint8_t>) override {}
    Digest digest() override { return digest_; }

private:
    Digest digest_;
};

} // namespace

TEST(Encoding, Base64IsTheStandardAlphabetWithPaddingOverTheBytes) {
    // RFC 4648's vectors: every length modulo 3.
    EXPECT_EQ(base64(""), "");
    EXPECT_EQ(base64("f"), "Zg==");
    EXPECT_EQ(base64("fo"), "Zm8=");
    EXPECT_EQ(base64("foo"), "Zm9v");
    EXPECT_EQ(base64("foob"), "Zm9vYg==");
    EXPECT_EQ(base64("fooba"), "Zm9vYmE=");
    EXPECT_EQ(base64("foobar"), "Zm9vYmFy");
    // The two last letters are '+' and '/' (not the URL alphabet); bytes above 0x7f and NULs are bytes
    // like any other.
    EXPECT_EQ(base64("\xfb\xff"), "+/8=");
    EXPECT_EQ(base64(std::string("\0\0\0\xff", 4)), "AAAA/w==");
    EXPECT_EQ(base64("/Users/\xc3\xa9t\xc3\xa9/a b.plist"), "L1VzZXJzL8OpdMOpL2EgYi5wbGlzdA==");
    // 48 bytes whose 64 six-bit groups count up: the whole alphabet, in order.
    const std::string counting("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51"
                               "\x55\x97\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a"
                               "\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                               48);
    EXPECT_EQ(base64(counting), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    const std::string large(3 * 100000 + 1, 'x');
    EXPECT_EQ(base64(large).size(), 4u * 100001u);
}

TEST(Encoding, DigestIsLowerCaseHexOfTheBackendsBytes) {
    const gantry::Md5::Digest bytes{0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd,
                                    0xef, 0xfe, 0xdc, 0xba, 0x98, 0x76, 0x10, 0xff};
    gantry::Crypto fixed([&] { return std::make_unique<FixedMd5>(bytes); });
    std::vector<std::uint8_t> chunk(16);
    EmptyFile file;
    EXPECT_EQ(fixed.md5Digest(file, chunk), "000123456789abcdeffedcba987610ff");

    // The platform's MD5 through the same formatting.
    gantry::Crypto real(gantry::makeMd5);
    EmptyFile empty;
    EXPECT_EQ(real.md5Digest(empty, chunk), "d41d8cd98f00b204e9800998ecf8427e");
}
