#include "Utf8.hpp"

#include <cstdint>

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

} // namespace

Utf8Character firstUtf8Character(std::string_view bytes) {
    auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = at(0);
    if (lead < 0x80) {
        return {char32_t{lead}, 1};
    }
    std::size_t length = 0;
    char32_t codePoint = 0;
    std::uint8_t secondLow = 0x80;
    std::uint8_t secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = char32_t{lead} & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = char32_t{lead} & 0x0F;
        if (lead == 0xE0) {
            secondLow = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            secondHigh = 0x9F; // no surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = char32_t{lead} & 0x07;
        if (lead == 0xF0) {
            secondLow = 0x90;
        } else if (lead == 0xF4) {
            secondHigh = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return {std::nullopt, 1};
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::uint8_t low = i == 1 ? secondLow : std::uint8_t{0x80};
        const std::uint8_t high = i == 1 ? secondHigh : std::uint8_t{0xBF};
        if (i >= bytes.size() || at(i) < low || at(i) > high) {
            return {std::nullopt, i};
        }
        codePoint = codePoint << 6 | (char32_t{at(i)} & 0x3F);
    }
    return {codePoint, length};
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const Utf8Character character = firstUtf8Character(bytes);
        text.append(character.codePoint ? bytes.substr(0, character.length) : replacement);
        bytes.remove_prefix(character.length);
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
    const std::string_view last = bytes.substr(lead);
    const Utf8Character character = firstUtf8Character(last);
    // A well-formed last character stays; a sequence that is only cut short goes. Anything else is
    // kept, for the reader to judge as it would judge any invalid text.
    if (character.codePoint || character.length < last.size()) {
        return bytes.size();
    }
    const auto leadByte = static_cast<std::uint8_t>(last[0]);
    const bool promisesMore = leadByte >= 0xC2 && leadByte <= 0xF4;
    return promisesMore ? lead : bytes.size();
}

bool isValidUtf8(std::string_view bytes) {
    while (!bytes.empty()) {
        const Utf8Character character = firstUtf8Character(bytes);
        if (!character.codePoint) {
            return false;
        }
        bytes.remove_prefix(character.length);
    }
    return true;
}
