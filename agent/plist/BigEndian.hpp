#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace agent {

// Big-endian unsigned integer of `width` bytes (1 to 8) at `at`; the caller has checked the bounds.
inline std::uint64_t readBigEndian(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < width; ++k) {
        value = (value << 8) | bytes[at + k];
    }
    return value;
}

} // namespace agent
