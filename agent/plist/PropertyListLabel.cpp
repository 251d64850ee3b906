#include "PropertyListLabel.hpp"

#include "LabelReaders.hpp"
#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"

#include <algorithm>

namespace agent {

LabelReading decidedLabel(bool rootIsDictionary, const std::optional<LabelValue>& value) {
    if (!rootIsDictionary || !value || !value->isString || value->text.size() > maxLabelBytes) {
        return {LabelReading::Outcome::noLabel, {}};
    }
    return {LabelReading::Outcome::label, value->text};
}

LabelReading jobLabelFromBytes(std::span<const std::uint8_t> bytes) {
    // What the guard refuses never reaches a parser, so it has no label.
    if (!propertyListPassesGuard(bytes)) {
        return {LabelReading::Outcome::noLabel, {}};
    }
    constexpr std::string_view binaryMagic = "bplist00";
    const bool binary = bytes.size() >= binaryMagic.size() &&
                        std::equal(binaryMagic.begin(), binaryMagic.end(), bytes.begin(),
                                   [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
    const auto reading = binary ? binaryListLabel(bytes)
                                : xmlListLabel({reinterpret_cast<const char*>(bytes.data()), bytes.size()});
    return reading.value_or(LabelReading{});
}

} // namespace agent
