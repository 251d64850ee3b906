#include "PropertyListReading.hpp"

#include "PropertyListGuard.hpp"
#include "frameworks/Mortar.hpp"

namespace agent {

std::optional<PlistValue::Dictionary> dictionaryFromBytes(PropertyListParser& parser,
                                                          std::span<const std::uint8_t> bytes) {
    if (!propertyListPassesGuard(bytes)) {
        return std::nullopt;
    }
    auto value = parser.parse(bytes);
    if (!value || value->dictionary() == nullptr) {
        return std::nullopt;
    }
    return *value->dictionary();
}

std::optional<std::string> labelIn(const std::optional<PlistValue::Dictionary>& dictionary) {
    if (!dictionary) {
        return std::nullopt;
    }
    const auto found = dictionary->find(mortar::Const::Key::label);
    if (found == dictionary->end() || found->second.string() == nullptr ||
        found->second.string()->size() > maxLabelBytes) {
        return std::nullopt;
    }
    return *found->second.string();
}

std::string jobLabel(const std::optional<PlistValue::Dictionary>& dictionary) {
    return labelIn(dictionary).value_or("");
}

} // namespace agent
