// Bytes as a job file, through the agent's whole read path: the guard, the label read from the bytes, and
// the platform parser. libFuzzer's -timeout and -rss_limit_mb bound what an accepted input may cost. The
// label reader and the parser are compared: whenever the reader decides, the parser must give the same
// label, or no label either.
#include "PropertyListGuard.hpp"
#include "PropertyListLabel.hpp"
#include "PropertyListReading.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto parser = agent::makePropertyListParser();
    const std::span<const std::uint8_t> bytes(data, size);
    const bool accepted = agent::propertyListPassesGuard(bytes);
    const auto dictionary = agent::dictionaryFromBytes(*parser, bytes);
    if (dictionary && !accepted) {
        std::abort(); // the parser saw bytes the guard refused
    }
    const auto parsed = agent::labelIn(dictionary);
    const auto reading = agent::jobLabelFromBytes(bytes);
    using Outcome = agent::LabelReading::Outcome;
    if (reading.outcome == Outcome::undecided) {
        return 0;
    }
    const auto read =
        reading.outcome == Outcome::label ? std::optional<std::string>(reading.label) : std::nullopt;
    if (read != parsed) {
        std::abort(); // the label reader and the parser disagree
    }
    return 0;
}
