#include "XmlText.hpp"

#include "Utf8Writer.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace agent {

namespace {

// The parser takes at most eight characters between '&' and ';'.
constexpr std::size_t maxReferenceLength = 8;
constexpr std::uint32_t maxCodePoint = 0x10FFFF;

std::optional<std::uint32_t> digitValue(char c, std::uint32_t base) {
    std::uint32_t value = 0;
    if (c >= '0' && c <= '9') {
        value = static_cast<std::uint32_t>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
        value = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
        value = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
        return std::nullopt;
    }
    return value;
}

// The code point of "#123" or "#x1F" (the text between '&' and ';'), if it is plain digits in range.
std::optional<std::uint32_t> codePoint(std::string_view reference) {
    std::uint32_t base = 10;
    std::string_view digits = reference.substr(1);
    if (!digits.empty() && (digits.front() == 'x' || digits.front() == 'X')) {
        base = 16;
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (const char c : digits) {
        const auto digit = digitValue(c, base);
        if (!digit) {
            return std::nullopt;
        }
        value = value * base + *digit; // at most seven digits: no overflow
    }
    // Surrogates are no characters: parsers differ on them.
    if (value == 0 || value > maxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return value;
}

constexpr std::array<std::pair<std::string_view, char>, 5> namedEntities{{
    {"amp", '&'},
    {"lt", '<'},
    {"gt", '>'},
    {"quot", '"'},
    {"apos", '\''},
}};

} // namespace

bool appendXmlText(std::string_view text, std::string& out) {
    while (!text.empty()) {
        const auto ampersand = text.find('&');
        out.append(text.substr(0, ampersand));
        if (ampersand == std::string_view::npos) {
            return true;
        }
        text.remove_prefix(ampersand + 1);
        const auto semicolon = text.find(';');
        if (semicolon == std::string_view::npos || semicolon == 0 || semicolon > maxReferenceLength) {
            return false;
        }
        const auto reference = text.substr(0, semicolon);
        text.remove_prefix(semicolon + 1);
        if (reference.front() == '#') {
            const auto value = codePoint(reference);
            if (!value) {
                return false;
            }
            appendUtf8(*value, out);
            continue;
        }
        bool known = false;
        for (const auto& [name, character] : namedEntities) {
            if (reference == name) {
                out += character;
                known = true;
                break;
            }
        }
        if (!known) {
            return false;
        }
    }
    return true;
}

} // namespace agent
