#pragma once

#include "PropertyListLabel.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace agent {

// The last value met under the top-level dictionary's "Label" key.
struct LabelValue {
    bool isString = false;
    std::string text;
};

// The decided reading of a list that parses: a label only for a dictionary root whose last "Label" value
// is a string of at most maxLabelBytes.
LabelReading decidedLabel(bool rootIsDictionary, const std::optional<LabelValue>& value);

// The readings of the two syntaxes, on bytes the guard has accepted; nothing where they are undecided.
std::optional<LabelReading> xmlListLabel(std::string_view text);
std::optional<LabelReading> binaryListLabel(std::span<const std::uint8_t> bytes);

} // namespace agent
