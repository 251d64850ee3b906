#include "PropertyListGuard.hpp"

#include "BigEndian.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace agent {

namespace {

using Bytes = std::span<const std::uint8_t>;

bool startsWith(Bytes bytes, std::size_t at, std::string_view text) {
    if (at > bytes.size() || bytes.size() - at < text.size()) {
        return false;
    }
    return std::equal(text.begin(), text.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

// Index just past `text` found at or after `at`, if it is there.
std::optional<std::size_t> skipPast(Bytes bytes, std::size_t at, std::string_view text) {
    const auto first = static_cast<std::uint8_t>(text.front());
    while (at < bytes.size()) {
        const auto* found =
            static_cast<const std::uint8_t*>(std::memchr(bytes.data() + at, first, bytes.size() - at));
        if (found == nullptr) {
            return std::nullopt;
        }
        at = static_cast<std::size_t>(found - bytes.data());
        if (startsWith(bytes, at, text)) {
            return at + text.size();
        }
        ++at;
    }
    return std::nullopt;
}

enum class Markup { tag, declaration, instruction };

// Index just past the end of markup whose content starts at `at`: the first '>' outside quotes, or "?>" for a
// processing instruction. Quoted values are stepped over, but one holding '<', '>' or the other quote is
// refused: the library honours double quotes only and another reader both kinds, so the markup has to end
// at the same place for each of them, or text one of them parses could pass here as a quoted value or a
// comment. A '[' in a declaration (an internal subset, where entities could be declared) is refused even
// inside quotes, since a reader that ignores those quotes would take it for one.
std::optional<std::size_t> markupEnd(Bytes bytes, std::size_t at, Markup kind) {
    std::uint8_t quote = 0;
    for (std::size_t i = at; i < bytes.size(); ++i) {
        const auto c = bytes[i];
        if (c == '[' && kind == Markup::declaration) {
            return std::nullopt;
        }
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else if (c == '<' || c == '>' || c == '"' || c == '\'') {
                return std::nullopt;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '<') {
            return std::nullopt;
        } else if (c == '>' && (kind != Markup::instruction || (i > at && bytes[i - 1] == '?'))) {
            return i + 1;
        }
    }
    return std::nullopt;
}

// The sizes of the containers met so far, against the container budgets.
class ContainerBudget {
public:
    // A dictionary of `keys` keys met whole (binary lists give the count first).
    bool dictionary(std::uint64_t keys) {
        if (keys > PropertyListLimits::maxDictionaryKeys) {
            return false;
        }
        keyPairs_ += keys * keys;
        return keyPairs_ <= PropertyListLimits::maxKeyPairs;
    }
    // One more key in a dictionary that holds `keys` with it (XML gives them one by one); the squares add up
    // to the same as for the whole dictionary.
    bool oneMoreKey(std::uint64_t keys) {
        keyPairs_ += 2 * keys - 1;
        return keyPairs_ <= PropertyListLimits::maxKeyPairs;
    }
    static bool array(std::uint64_t elements) { return elements <= PropertyListLimits::maxArrayElements; }

private:
    std::uint64_t keyPairs_ = 0;
};

// The name of the element whose start or end tag has its name at `at`.
std::string_view tagName(Bytes bytes, std::size_t at) {
    std::size_t end = at;
    while (end < bytes.size() && bytes[end] != ' ' && bytes[end] != '\t' && bytes[end] != '\r' &&
           bytes[end] != '\n' && bytes[end] != '/' && bytes[end] != '>') {
        ++end;
    }
    return {reinterpret_cast<const char*>(bytes.data()) + at, end - at};
}

GuardBound xmlGuard(Bytes bytes) {
    // UTF-16 and UTF-32 put a NUL beside every markup character, which hides "</" from this walk (and their
    // characters can hold the bytes "</"); the lists we read are UTF-8.
    if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr) {
        return GuardBound::form;
    }
    struct Open {
        std::string_view name;
        std::uint64_t entries; // keys of a dictionary, elements of an array
    };
    std::vector<Open> open;
    open.reserve(16); // deeper lists are rare; it grows as needed
    ContainerBudget containers;
    std::size_t nodes = 0;
    std::size_t references = 0; // entity references since the last tag: in one string or key
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (bytes[i] != '<') {
            // Text up to the next markup, counting its entity references (memchr: most of a file is text).
            const auto* text = bytes.data() + i;
            const auto* markup = static_cast<const std::uint8_t*>(std::memchr(text, '<', bytes.size() - i));
            const auto* end = markup != nullptr ? markup : bytes.data() + bytes.size();
            for (const auto* at = text; (at = static_cast<const std::uint8_t*>(std::memchr(
                                             at, '&', static_cast<std::size_t>(end - at)))) != nullptr;
                 ++at) {
                if (++references > PropertyListLimits::maxEntityReferences) {
                    return GuardBound::entityReferences;
                }
            }
            i = static_cast<std::size_t>(end - bytes.data());
            continue;
        }
        std::optional<std::size_t> next;
        const std::uint8_t second = i + 1 < bytes.size() ? bytes[i + 1] : 0;
        if (second == '?') {
            next = markupEnd(bytes, i + 2, Markup::instruction);
        } else if (second == '!' && startsWith(bytes, i, "<!--")) {
            next = skipPast(bytes, i + 4, "-->");
        } else if (second == '!' && startsWith(bytes, i, "<![CDATA[")) {
            next = skipPast(bytes, i + 9, "]]>");
        } else if (second == '!') {
            next = markupEnd(bytes, i + 2, Markup::declaration);
        } else if (second == '/') {
            if (open.empty()) {
                return GuardBound::form;
            }
            open.pop_back();
            references = 0;
            next = markupEnd(bytes, i + 2, Markup::tag);
        } else {
            next = markupEnd(bytes, i + 1, Markup::tag);
            if (!next) {
                return GuardBound::form;
            }
            if (++nodes > PropertyListLimits::maxNodes) {
                return GuardBound::nodes;
            }
            references = 0;
            const auto name = tagName(bytes, i + 1);
            if (!open.empty()) {
                auto& parent = open.back();
                if (parent.name == "dict" && name == "key" && !containers.oneMoreKey(++parent.entries)) {
                    return GuardBound::dictionaryKeys;
                }
                if (parent.name == "array" && !ContainerBudget::array(++parent.entries)) {
                    return GuardBound::arrayElements;
                }
            }
            const bool selfClosing = *next - 1 > i + 1 && bytes[*next - 2] == '/';
            if (!selfClosing) {
                open.push_back({name, 0});
                if (open.size() > PropertyListLimits::maxDepth) {
                    return GuardBound::depth;
                }
            }
        }
        if (!next) {
            return GuardBound::form; // unterminated markup: no parser would accept it
        }
        i = *next;
    }
    return GuardBound::none;
}

class BinaryWalk {
public:
    explicit BinaryWalk(Bytes bytes)
        : bytes_(bytes) {}

    GuardBound run() {
        constexpr std::size_t headerSize = 8;
        constexpr std::size_t trailerSize = 32;
        if (bytes_.size() < headerSize + trailerSize + 2) {
            return GuardBound::form;
        }
        const std::size_t trailer = bytes_.size() - trailerSize;
        const std::size_t offsetSize = bytes_[trailer + 6];
        refSize_ = bytes_[trailer + 7];
        const std::uint64_t objectCount = readBigEndian(bytes_, trailer + 8, 8);
        const std::uint64_t top = readBigEndian(bytes_, trailer + 16, 8);
        const std::uint64_t tableOffset = readBigEndian(bytes_, trailer + 24, 8);
        if (offsetSize < 1 || offsetSize > 8 || refSize_ < 1 || refSize_ > 8) {
            return GuardBound::form;
        }
        if (objectCount == 0 || top >= objectCount || tableOffset < headerSize || tableOffset > trailer) {
            return GuardBound::form;
        }
        // Objects lie between the header and the offset table, which ends where the trailer begins.
        if (objectCount > (trailer - tableOffset) / offsetSize) {
            return GuardBound::form;
        }
        objectsEnd_ = static_cast<std::size_t>(tableOffset);
        offsets_.reserve(static_cast<std::size_t>(objectCount));
        for (std::uint64_t k = 0; k < objectCount; ++k) {
            const auto offset =
                readBigEndian(bytes_, objectsEnd_ + static_cast<std::size_t>(k) * offsetSize, offsetSize);
            if (offset < headerSize || offset >= objectsEnd_) {
                return GuardBound::form;
            }
            offsets_.push_back(static_cast<std::size_t>(offset));
        }
        return walkFrom(static_cast<std::size_t>(top));
    }

private:
    // Count of a sized object: the marker's low nibble, or an integer object after it when that is 0xF.
    // Sets `at` to the first byte after the count.
    std::optional<std::uint64_t> count(std::uint8_t marker, std::size_t& at) const {
        const std::uint8_t info = marker & 0x0F;
        if (info != 0x0F) {
            return info;
        }
        if (at >= objectsEnd_ || (bytes_[at] & 0xF0) != 0x10 || (bytes_[at] & 0x0F) > 3) {
            return std::nullopt;
        }
        const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
        if (objectsEnd_ - at - 1 < width) {
            return std::nullopt;
        }
        const auto value = readBigEndian(bytes_, at + 1, width);
        at += 1 + width;
        return value;
    }

    bool fits(std::size_t at, std::uint64_t length) const {
        return at <= objectsEnd_ && length <= objectsEnd_ - at;
    }

    // Whether a string object's `length` bytes at `at` hold a NUL: a 0x00 byte in an ASCII string, a 0x0000
    // unit in a UTF-16 one.
    bool holdsNul(std::uint8_t marker, std::size_t at, std::size_t length) const {
        const auto text = bytes_.subspan(at, length);
        if ((marker >> 4) == 0x5) {
            return std::find(text.begin(), text.end(), std::uint8_t{0}) != text.end();
        }
        if ((marker >> 4) == 0x6) {
            for (std::size_t k = 0; k + 1 < text.size(); k += 2) {
                if (text[k] == 0 && text[k + 1] == 0) {
                    return true;
                }
            }
        }
        return false;
    }

    // Walks the graph from the top object with an explicit stack: a reference deeper than the depth
    // budget (which also catches cycles) or one reference too many refuses the list.
    GuardBound walkFrom(std::size_t top) {
        std::vector<std::pair<std::size_t, std::size_t>> stack{{top, 1}};
        std::size_t visits = 1;
        std::size_t reached = 0;
        while (!stack.empty()) {
            const auto [object, depth] = stack.back();
            stack.pop_back();
            std::size_t at = offsets_[object];
            const std::uint8_t marker = bytes_[at++];
            const std::uint8_t info = marker & 0x0F;
            std::uint64_t length = 0;
            std::uint64_t references = 0;
            switch (marker >> 4) {
            case 0x0: // null, false, true, fill
                if (info != 0x0 && info != 0x8 && info != 0x9 && info != 0xF) {
                    return GuardBound::form;
                }
                break;
            case 0x1: // integer of 2^n bytes
                if (info > 4) {
                    return GuardBound::form;
                }
                length = std::uint64_t{1} << info;
                break;
            case 0x2: // real
                if (info != 2 && info != 3) {
                    return GuardBound::form;
                }
                length = std::uint64_t{1} << info;
                break;
            case 0x3: // date
                if (info != 3) {
                    return GuardBound::form;
                }
                length = 8;
                break;
            case 0x4: // data
            case 0x5: // ASCII string
            case 0x6: // UTF-16 string
            {
                const auto n = count(marker, at);
                if (!n || *n > objectsEnd_) {
                    return GuardBound::form;
                }
                length = (marker >> 4) == 0x6 ? *n * 2 : *n;
                break;
            }
            case 0x8: // UID
                length = std::uint64_t{info} + 1;
                break;
            case 0xA: // array
            case 0xD: // dictionary: keys, then values
            {
                const auto n = count(marker, at);
                if (!n || *n > objectsEnd_) {
                    return GuardBound::form;
                }
                if ((marker >> 4) == 0xD ? !containers_.dictionary(*n) : !ContainerBudget::array(*n)) {
                    return (marker >> 4) == 0xD ? GuardBound::dictionaryKeys : GuardBound::arrayElements;
                }
                references = (marker >> 4) == 0xD ? *n * 2 : *n;
                if (references > objectsEnd_ / refSize_) {
                    return GuardBound::form;
                }
                length = references * refSize_;
                break;
            }
            default:
                return GuardBound::form;
            }
            if (!fits(at, length) || holdsNul(marker, at, static_cast<std::size_t>(length))) {
                return GuardBound::form;
            }
            reached += static_cast<std::size_t>(length);
            if (reached > PropertyListLimits::maxReachedBytes) {
                return GuardBound::reachedBytes;
            }
            for (std::uint64_t k = 0; k < references; ++k) {
                const auto target =
                    readBigEndian(bytes_, at + static_cast<std::size_t>(k) * refSize_, refSize_);
                if (target >= offsets_.size()) {
                    return GuardBound::form;
                }
                if (++visits > PropertyListLimits::maxNodes || depth + 1 > PropertyListLimits::maxDepth) {
                    return visits > PropertyListLimits::maxNodes ? GuardBound::nodes : GuardBound::depth;
                }
                stack.emplace_back(static_cast<std::size_t>(target), depth + 1);
            }
        }
        return GuardBound::none;
    }

    Bytes bytes_;
    std::size_t refSize_ = 0;
    std::size_t objectsEnd_ = 0;
    std::vector<std::size_t> offsets_;
    ContainerBudget containers_;
};

} // namespace

GuardBound propertyListGuard(std::span<const std::uint8_t> bytes) {
    if (bytes.size() > PropertyListLimits::maxBytes) {
        return GuardBound::size;
    }
    if (startsWith(bytes, 0, "bplist00")) {
        return BinaryWalk(bytes).run();
    }
    // Only XML is walked below; a text in another property-list syntax (the old brace-and-semicolon
    // form) would pass that walk unchecked, and some parsers nest it without bound.
    std::size_t start = startsWith(bytes, 0, "\xEF\xBB\xBF") ? 3 : 0;
    while (start < bytes.size() &&
           (bytes[start] == ' ' || bytes[start] == '\t' || bytes[start] == '\r' || bytes[start] == '\n')) {
        ++start;
    }
    if (start == bytes.size() || bytes[start] != '<') {
        return GuardBound::form;
    }
    return xmlGuard(bytes);
}

bool propertyListPassesGuard(std::span<const std::uint8_t> bytes) {
    return propertyListGuard(bytes) == GuardBound::none;
}

std::string describe(GuardBound bound) {
    using Limits = PropertyListLimits;
    switch (bound) {
    case GuardBound::none:
        return "none";
    case GuardBound::form:
        return "not a well-formed property list";
    case GuardBound::size:
        return "at most " + std::to_string(Limits::maxBytes) + " bytes";
    case GuardBound::depth:
        return "at most " + std::to_string(Limits::maxDepth) + " levels";
    case GuardBound::nodes:
        return "at most " + std::to_string(Limits::maxNodes) + " elements";
    case GuardBound::reachedBytes:
        return "at most " + std::to_string(Limits::maxReachedBytes) + " bytes reached";
    case GuardBound::dictionaryKeys:
        return "at most " + std::to_string(Limits::maxDictionaryKeys) + " keys in a dictionary";
    case GuardBound::arrayElements:
        return "at most " + std::to_string(Limits::maxArrayElements) + " elements in an array";
    case GuardBound::entityReferences:
        return "at most " + std::to_string(Limits::maxEntityReferences) + " entity references in a text";
    }
    return "";
}

} // namespace agent
