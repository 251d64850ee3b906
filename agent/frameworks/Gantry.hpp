#pragma once

#include "FileAccess.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// What the agent needs of its digest and product framework.
namespace gantry {

// Incremental MD5 from the platform.
class Md5 {
public:
    using Digest = std::array<std::uint8_t, 16>;
    virtual ~Md5() = default;
    virtual void update(std::span<const std::uint8_t> bytes) = 0;
    // The 16 bytes of the digest of everything given to update.
    virtual Digest digest() = 0;
};

// A digest as text, 32 lower-case hex digits, and back from text in either case (absent for any other).
std::string digestText(const Md5::Digest& digest);
std::optional<Md5::Digest> digestFromText(std::string_view text);

class Crypto {
public:
    explicit Crypto(std::function<std::unique_ptr<Md5>()> makeMd5)
        : makeMd5_(std::move(makeMd5)) {}
    // The digest of the file's whole contents as 32 lower-case hex digits, read in reads of at most the
    // chunk's size into it, so no file is held whole in memory; absent when reading fails.
    std::optional<std::string> md5Digest(agent::ReadableFile& file, std::span<std::uint8_t> chunk) const;

private:
    std::function<std::unique_ptr<Md5>()> makeMd5_;
};

// The main application's product values.
struct Product {
    std::optional<std::string> jobScheme;
    static const Product& main();
};

// The platform's MD5.
std::unique_ptr<Md5> makeMd5();

} // namespace gantry
