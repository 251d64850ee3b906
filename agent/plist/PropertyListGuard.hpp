#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace agent {

// Bounds on what a property list may be before any library parses it. Job files and the exceptions
// file are a few kilobytes and a handful of levels deep; these leave a wide margin while keeping the
// parse of a hostile file small (a parser's tree costs tens of bytes per node, and some free it by
// recursion).
struct PropertyListLimits {
    static constexpr std::size_t maxBytes = 1024 * 1024;
    static constexpr std::size_t maxDepth = 128;
    // Every element, and in a binary list every reference (a shared object counts once per reference,
    // since a parser may copy it once per reference).
    static constexpr std::size_t maxNodes = 100'000;
    // The bytes of the objects reached, once per reference: a parser copies a shared string or data object
    // once per reference, so a list of a few hundred kilobytes could otherwise cost gigabytes.
    static constexpr std::size_t maxReachedBytes = 8 * maxBytes;
    // A parser looks each key up among the keys added before it (one chains keys that collide in its hash
    // into one list), so a dictionary costs the square of its size. The squares are bounded over the whole
    // list, which bounds one dictionary at maxDictionaryKeys; a few hundred keys is a large job file.
    static constexpr std::size_t maxDictionaryKeys = 2'048;
    static constexpr std::size_t maxKeyPairs = maxDictionaryKeys * maxDictionaryKeys;
    static constexpr std::size_t maxArrayElements = 16'384;
    // Entity references in one XML string or key: a parser may move the rest of the text once per reference.
    static constexpr std::size_t maxEntityReferences = 1'024;
};

// The same depth and node budgets for converting a parsed tree into a PlistValue, so that a backend's
// conversion stays bounded even for bytes that never passed the guard.
class ConversionBudget {
public:
    // Counts one more node at `depth` (the root is at 1); false once the tree is beyond the budgets.
    bool enter(std::size_t depth) {
        return ++nodes_ <= PropertyListLimits::maxNodes && depth <= PropertyListLimits::maxDepth;
    }

private:
    std::size_t nodes_ = 0;
};

// Whether the bytes may be handed to a property-list parser: within the size bound, and a walk of their
// structure (XML nesting, or the binary object graph) stays within the depth, node, container and entity
// budgets. A binary string holding a NUL (a 0x00 byte in an ASCII string, a 0x0000 unit in a UTF-16 one) is
// refused wherever it is: parsers keep strings NUL-terminated, and one aborts on such a string. Binary
// lists are recognised by their "bplist00" magic; anything else must be XML (markup first, after an optional
// byte-order mark and white space).
bool propertyListPassesGuard(std::span<const std::uint8_t> bytes);

// Which bound refused the bytes (`none` when they pass), and its description for a log line.
enum class GuardBound {
    none,
    form,
    size,
    depth,
    nodes,
    reachedBytes,
    dictionaryKeys,
    arrayElements,
    entityReferences
};
GuardBound propertyListGuard(std::span<const std::uint8_t> bytes);
std::string describe(GuardBound bound);

} // namespace agent
