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

std::string oneLineText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t invalid = 0;
        const std::size_t valid = wellFormedLength(bytes, invalid);
        const std::string_view character = bytes.substr(0, valid);
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(character[i]); };
        const bool control =
            (valid == 1 && (byte(0) < 0x20 || byte(0) == 0x7F)) ||
            (valid == 2 && byte(0) == 0xC2 && byte(1) < 0xA0) ||
            (valid == 3 && byte(0) == 0xE2 && byte(1) == 0x80 && (byte(2) == 0xA8 || byte(2) == 0xA9));
        if (valid == 0 || control) {
            text.append(replacement);
        } else {
            text.append(character);
        }
        bytes.remove_prefix(valid != 0 ? valid : invalid);
    }
    return text;
}

std::size_t wholeCharactersLength(std::string_view bytes) {
    // The last lead byte lies at most three continuation bytes before the end.
    std::size_t lead = bytes.size();
    while (lead > 0 && bytes.size() - lead < 4) {
        --lead;
        if ((static_cast<std::uint8_t>(bytes[lead]) & 0xC0) != 0x80) {
            break;
        }
    }
    if (lead == bytes.size()) {
        return lead;
    }
    std::size_t invalid = 0;
    const std::string_view last = bytes.substr(lead);
    // A well-formed last character stays; a sequence that is only cut short goes. Anything else is
    // kept, for the reader to judge as it would judge any invalid text.
    if (wellFormedLength(last, invalid) != 0 || invalid < last.size()) {
        return bytes.size();
    }
    const auto leadByte = static_cast<std::uint8_t>(last[0]);
    const bool promisesMore = leadByte >= 0xC2 && leadByte <= 0xF4;
    return promisesMore ? lead : bytes.size();
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
