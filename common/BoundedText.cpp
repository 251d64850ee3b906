#include "BoundedText.hpp"

#include "Utf8.hpp"

std::uint64_t keepWholeCharacters(std::string& bytes, std::uint64_t size) {
    if (size > bytes.size()) {
        bytes.resize(wholeCharactersLength(bytes));
    }
    return size > bytes.size() ? size - bytes.size() : 0;
}

void appendLeftOutLine(std::string& text, std::uint64_t leftOut, std::string_view source) {
    if (leftOut == 0) {
        return;
    }
    if (!text.empty() && text.back() != '\n') {
        text += '\n';
    }
    text += "(" + std::to_string(leftOut) + (leftOut == 1 ? " byte of " : " bytes of ") +
            std::string(source) + " left out)";
}
