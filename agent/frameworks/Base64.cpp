#include "frameworks/Mortar.hpp"

#include <array>
#include <cstdint>

namespace mortar {

// Standard alphabet with '=' padding (RFC 4648, section 4), over the bytes as they are: the text is UTF-8
// already, and the main application decodes exactly this form.
void toBase64(std::string& text) {
    static constexpr std::array<char, 64> alphabet{
        'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P',
        'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', 'a', 'b', 'c', 'd', 'e', 'f',
        'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't', 'u', 'v',
        'w', 'x', 'y', 'z', '0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '+', '/'};
    std::string encoded;
    encoded.reserve((text.size() + 2) / 3 * 4);
    std::size_t at = 0;
    const auto byte = [&](std::size_t index) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(text[index]));
    };
    for (; at + 3 <= text.size(); at += 3) {
        const std::uint32_t group = byte(at) << 16 | byte(at + 1) << 8 | byte(at + 2);
        encoded.push_back(alphabet[group >> 18 & 0x3f]);
        encoded.push_back(alphabet[group >> 12 & 0x3f]);
        encoded.push_back(alphabet[group >> 6 & 0x3f]);
        encoded.push_back(alphabet[group & 0x3f]);
    }
    const std::size_t rest = text.size() - at;
    if (rest > 0) {
        const std::uint32_t group = byte(at) << 16 | (rest == 2 ? byte(at + 1) << 8 : 0);
        encoded.push_back(alphabet[group >> 18 & 0x3f]);
        encoded.push_back(alphabet[group >> 12 & 0x3f]);
        encoded.push_back(rest == 2 ? alphabet[group >> 6 & 0x3f] : '=');
        encoded.push_back('=');
    }
    text = std::move(encoded);
}

} // namespace mortar
