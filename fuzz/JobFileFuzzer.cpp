// Bytes as a job file, through the agent's whole read path: the guard, then the platform parser and the
// label, as a scan reads them. libFuzzer's -timeout and -rss_limit_mb bound what an accepted input may cost.
#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto parser = agent::makePropertyListParser();
    const std::span<const std::uint8_t> bytes(data, size);
    const bool accepted = agent::propertyListPassesGuard(bytes);
    const auto dictionary = agent::dictionaryFromBytes(*parser, bytes);
    if (dictionary && !accepted) {
        std::abort(); // the parser saw bytes the guard refused
    }
    const std::string label = agent::jobLabel(dictionary);
    if (!dictionary && !label.empty()) {
        std::abort();
    }
    return 0;
}
