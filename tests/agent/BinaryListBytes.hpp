#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace agent {

inline void appendBigEndian(std::string& out, std::uint64_t value, std::size_t width) {
    for (std::size_t k = width; k-- > 0;) {
        out.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
    }
}

// A binary list whose objects are given as bytes (references in them `referenceWidth` bytes wide), with
// offsets `offsetWidth` bytes wide and object `top` at the top.
inline std::string binaryListOf(const std::vector<std::string>& objects, std::size_t offsetWidth,
                                std::size_t referenceWidth, std::uint64_t top = 0) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t table = out.size();
    for (const auto offset : offsets) {
        appendBigEndian(out, offset, offsetWidth);
    }
    out += std::string(6, '\0');
    out.push_back(static_cast<char>(offsetWidth));
    out.push_back(static_cast<char>(referenceWidth));
    appendBigEndian(out, objects.size(), 8);
    appendBigEndian(out, top, 8);
    appendBigEndian(out, table, 8);
    return out;
}

} // namespace agent
