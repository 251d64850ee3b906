#include "Utf8.hpp"

#include <cstddef>
#include <cstdint>

namespace action_service {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at the start of bytes, or 0 when it is not one; in that case
// invalidLength is the length of its maximal invalid subsequence (at least 1).
std::size_t wellFormedLength(std::string_view bytes, std::size_t& invalidLength) {
    auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = at(0);
    invalidLength = 1;
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t secondLow = 0x80;
    std::uint8_t secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) {
            secondLow = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            secondHigh = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) {
            secondLow = 0x90;
        } else if (lead == 0xF4) {
            secondHigh = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t low = i == 1 ? secondLow : std::uint8_t{0x80};
        const std::uint8_t high = i == 1 ? secondHigh : std::uint8_t{0xBF};
        if (i >= bytes.size() || at(i) < low || at(i) > high) {
            invalidLength = i;
            return 0;
        }
    }
    return length;
}

} // namespace

std::string decodeUtf8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t invalid = 0;
        if (std::size_t valid = wellFormedLength(bytes, invalid); valid != 0) {
            text.append(bytes.substr(0, valid));
            bytes.remove_prefix(valid);
        } else {
            text.append(replacement);
            bytes.remove_prefix(invalid);
        }
    }
    return text;
}

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t invalid = 0;
        std::size_t valid = wellFormedLength(bytes, invalid);
        if (valid == 0) {
            return false;
        }
        bytes.remove_prefix(valid);
    }
    return true;
}

} // namespace action_service
