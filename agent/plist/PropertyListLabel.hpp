#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace agent {

// The job label read straight from a file's bytes, with no tree built.
struct LabelReading {
    enum class Outcome {
        label,   // the list parses and its top-level dictionary's label is `label`
        noLabel, // the list is refused or fails to parse, its root is no dictionary, or it has no label
        // The bytes use something this reader does not take (markup in unusual places, uncommon
        // references, binary objects of rare kinds); the platform parser decides.
        undecided,
    };
    Outcome outcome = Outcome::undecided;
    std::string label;
};

// The label under the top-level dictionary's "Label" key, decided as the guard and the platform parser
// would decide it: a list the guard refuses has no label, a later "Label" key replaces an earlier one, and
// a value that is no string or is longer than maxLabelBytes is no label. Only a strict, common form of
// the XML and binary syntaxes is decided; the rest is undecided.
LabelReading jobLabelFromBytes(std::span<const std::uint8_t> bytes);

} // namespace agent
