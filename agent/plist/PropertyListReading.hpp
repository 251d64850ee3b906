#pragma once

#include "frameworks/PropertyList.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace agent {

// The bytes as a property list whose root is a dictionary; absent when the guard refuses them, the parser
// fails or the root is something else.
std::optional<PlistValue::Dictionary> dictionaryFromBytes(PropertyListParser& parser,
                                                          std::span<const std::uint8_t> bytes);

// Labels are short reverse-DNS names; a longer string is no label, so that hundreds of files with huge
// ones cannot fill the snapshot.
inline constexpr std::size_t maxLabelBytes = 1024;

// The string under the label key, if there is one of at most maxLabelBytes.
std::optional<std::string> labelIn(const std::optional<PlistValue::Dictionary>& dictionary);

// The job label: labelIn's string, or "" when there is none.
std::string jobLabel(const std::optional<PlistValue::Dictionary>& dictionary);

} // namespace agent
