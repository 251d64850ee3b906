#include "PropertyListLabel.hpp"

#include "PropertyListGuard.hpp"
#include "PropertyListReading.hpp"
#include "XmlText.hpp"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace agent {

namespace {

using Outcome = LabelReading::Outcome;

// The last value met under the top-level dictionary's "Label" key.
struct LabelValue {
    bool isString = false;
    std::string text;
};

LabelReading decided(bool rootIsDictionary, const std::optional<LabelValue>& value) {
    if (!rootIsDictionary || !value || !value->isString || value->text.size() > maxLabelBytes) {
        return {Outcome::noLabel, {}};
    }
    return {Outcome::label, value->text};
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether the content of a processing instruction names an encoding other than UTF-8. One parser reads
// the bytes as they are whatever the declaration says, another converts them, so such text is left to the
// platform's parser.
bool declaresOtherEncoding(std::string_view instruction) {
    const auto name = instruction.find("encoding");
    if (name == std::string_view::npos) {
        return false;
    }
    std::string_view value = instruction.substr(name + 8);
    if (!value.starts_with("=\"") && !value.starts_with("='")) {
        return true;
    }
    const char quote = value[1];
    value.remove_prefix(2);
    value = value.substr(0, value.find(quote));
    constexpr std::string_view utf8 = "utf-8";
    return value.size() != utf8.size() ||
           !std::equal(value.begin(), value.end(), utf8.begin(), [](char a, char b) {
               return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
           });
}

// A strict reading of an XML list: a prolog of white space, comments, processing instructions and a
// document type without an internal subset; a <plist> start tag; then the root, whose elements are written
// exactly as <name>, <name/> and </name>, with white space and comments between them, keys and values in
// turn in a dictionary, and only text and CDATA in strings, keys and other scalars. What the platform parser
// does with the rest of the file after the root ends does not matter: it stops there.
class XmlLabelWalk {
public:
    explicit XmlLabelWalk(std::string_view text)
        : text_(text) {}

    // The label, or nothing when the text leaves the strict form.
    std::optional<LabelReading> run() {
        if (!skipProlog() || !skipPlistStart() || !skipSpaceAndComments()) {
            return std::nullopt;
        }
        struct Open {
            bool dictionary;
            bool keyRead; // a dictionary's key, waiting for its value
            bool keyIsLabel;
        };
        std::vector<Open> open;
        bool rootIsDictionary = false;
        if (take("<dict>")) {
            rootIsDictionary = true;
            open.push_back({true, false, false});
        } else if (take("<array>")) {
            open.push_back({false, false, false});
        } else {
            // Also an empty root: the parser goes on to read the elements after it into the root.
            return std::nullopt;
        }
        std::optional<LabelValue> label;
        std::string text;
        while (!open.empty()) {
            if (!skipSpaceAndComments()) {
                return std::nullopt;
            }
            auto& parent = open.back();
            if (parent.dictionary && !parent.keyRead) {
                if (take("</dict>")) {
                    open.pop_back();
                    continue;
                }
                text.clear();
                if (!take("<key/>") && !(take("<key>") && readText("</key>", text))) {
                    return std::nullopt;
                }
                parent.keyRead = true;
                parent.keyIsLabel = open.size() == 1 && text == "Label";
                continue;
            }
            if (!parent.dictionary && take("</array>")) {
                open.pop_back();
                continue;
            }
            const bool forLabel = parent.dictionary && parent.keyIsLabel;
            parent.keyRead = false;
            text.clear();
            bool isString = false;
            if (take("<string/>")) {
                isString = true;
            } else if (take("<string>")) {
                if (!readText("</string>", text)) {
                    return std::nullopt;
                }
                isString = true;
            } else if (take("<dict>")) {
                open.push_back({true, false, false}); // `parent` is not used past here
            } else if (take("<array>")) {
                open.push_back({false, false, false});
            } else if (!take("<dict/>") && !take("<array/>") && !take("<true/>") && !take("<false/>") &&
                       !skipScalar()) {
                return std::nullopt;
            }
            if (forLabel) {
                label = LabelValue{isString, isString ? text : std::string()};
            }
        }
        return decided(rootIsDictionary, label);
    }

private:
    bool at(std::string_view markup) const { return text_.substr(pos_, markup.size()) == markup; }

    bool take(std::string_view markup) {
        if (!at(markup)) {
            return false;
        }
        pos_ += markup.size();
        return true;
    }

    void skipSpace() {
        while (pos_ < text_.size() && isSpace(text_[pos_])) {
            ++pos_;
        }
    }

    bool skipComment() {
        const auto end = text_.find("-->", pos_ + 4);
        if (end == std::string_view::npos) {
            return false;
        }
        pos_ = end + 3;
        return true;
    }

    bool skipSpaceAndComments() {
        skipSpace();
        while (at("<!--")) {
            if (!skipComment()) {
                return false;
            }
            skipSpace();
        }
        return true;
    }

    // Moves past markup whose content starts at pos_ and ends at the first '>', which must come after
    // `closing` (if any) and before any '<'. Quotes must pair up, so that the parser, which steps over
    // double-quoted text, ends the markup at the same '>'; a '[' would open an internal subset.
    bool skipMarkup(std::string_view closing, bool allowBracket) {
        const auto end = text_.find('>', pos_);
        if (end == std::string_view::npos || end < pos_ + closing.size()) {
            return false;
        }
        const auto content = text_.substr(pos_, end - pos_);
        if (!content.ends_with(closing) || content.find('<') != std::string_view::npos ||
            (!allowBracket && content.find('[') != std::string_view::npos) ||
            std::count(content.begin(), content.end(), '"') % 2 != 0) {
            return false;
        }
        pos_ = end + 1;
        return true;
    }

    bool skipProlog() {
        skipSpace();
        for (;;) {
            if (take("<?")) {
                // "<?>" ends there for the parser, which looks for "?>" from the first '?'.
                const auto start = pos_;
                if (at(">") || !skipMarkup("?", true) ||
                    declaresOtherEncoding(text_.substr(start, pos_ - start))) {
                    return false;
                }
            } else if (at("<!--")) {
                if (!skipComment()) {
                    return false;
                }
            } else if (take("<!DOCTYPE")) {
                if (!skipMarkup("", false)) {
                    return false;
                }
            } else {
                return true;
            }
            skipSpace();
        }
    }

    bool skipPlistStart() {
        if (!take("<plist")) {
            return false;
        }
        if (take(">")) {
            return true;
        }
        if (pos_ >= text_.size() || !isSpace(text_[pos_]) || !skipMarkup("", false)) {
            return false;
        }
        return text_[pos_ - 2] != '/'; // an empty <plist/> holds nothing
    }

    // The text of a string or key up to `end`, references decoded outside CDATA sections.
    bool readText(std::string_view end, std::string& out) {
        for (;;) {
            const auto markup = text_.find('<', pos_);
            if (markup == std::string_view::npos || !appendXmlText(text_.substr(pos_, markup - pos_), out)) {
                return false;
            }
            pos_ = markup;
            if (take(end)) {
                return true;
            }
            if (!take("<![CDATA[")) {
                return false;
            }
            const auto close = text_.find("]]>", pos_);
            if (close == std::string_view::npos) {
                return false;
            }
            out.append(text_.substr(pos_, close - pos_));
            pos_ = close + 3;
        }
    }

    // An integer, real, date or data element: the parser keeps whatever text they hold without failing.
    bool skipScalar() {
        static constexpr std::pair<std::string_view, std::string_view> elements[] = {
            {"<integer>", "</integer>"}, {"<real>", "</real>"}, {"<date>", "</date>"}, {"<data>", "</data>"}};
        for (const auto& [start, end] : elements) {
            if (take(start)) {
                pos_ = std::min(text_.find('<', pos_), text_.size());
                return take(end);
            }
        }
        return false;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

using Bytes = std::span<const std::uint8_t>;

std::uint64_t readBigEndian(Bytes bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t k = 0; k < width; ++k) {
        value = (value << 8) | bytes[at + k];
    }
    return value;
}

void appendUtf8(std::uint32_t value, std::string& out) {
    const auto byte = [](std::uint32_t bits) { return static_cast<char>(static_cast<std::uint8_t>(bits)); };
    if (value < 0x80) {
        out += byte(value);
    } else if (value < 0x800) {
        out += byte(0xC0 | (value >> 6));
        out += byte(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += byte(0xE0 | (value >> 12));
        out += byte(0x80 | ((value >> 6) & 0x3F));
        out += byte(0x80 | (value & 0x3F));
    } else {
        out += byte(0xF0 | (value >> 18));
        out += byte(0x80 | ((value >> 12) & 0x3F));
        out += byte(0x80 | ((value >> 6) & 0x3F));
        out += byte(0x80 | (value & 0x3F));
    }
}

// A strict reading of a binary list that the guard has accepted (so every offset, length and reference is
// in bounds and the graph is a bounded tree of references): every object reached must be a Boolean, an
// integer of up to 8 bytes, a real, a date, data, a string of ASCII or of well-formed UTF-16, an array or
// a dictionary whose keys are strings.
class BinaryLabelWalk {
public:
    explicit BinaryLabelWalk(Bytes bytes)
        : bytes_(bytes) {}

    std::optional<LabelReading> run() {
        constexpr std::size_t trailerSize = 32;
        const std::size_t trailer = bytes_.size() - trailerSize;
        const std::size_t offsetSize = bytes_[trailer + 6];
        refSize_ = bytes_[trailer + 7];
        const auto objectCount = static_cast<std::size_t>(readBigEndian(bytes_, trailer + 8, 8));
        const auto top = static_cast<std::size_t>(readBigEndian(bytes_, trailer + 16, 8));
        objectsEnd_ = static_cast<std::size_t>(readBigEndian(bytes_, trailer + 24, 8));
        offsets_.reserve(objectCount);
        for (std::size_t k = 0; k < objectCount; ++k) {
            offsets_.push_back(
                static_cast<std::size_t>(readBigEndian(bytes_, objectsEnd_ + k * offsetSize, offsetSize)));
        }
        if (!reachAll(top)) {
            return std::nullopt;
        }
        const auto root = object(top);
        if (!root || root->kind != Kind::dictionary) {
            return decided(false, std::nullopt);
        }
        std::optional<LabelValue> label;
        std::string key;
        for (std::size_t k = 0; k < root->count; ++k) {
            key.clear();
            if (!appendString(reference(*root, k), key)) {
                return std::nullopt;
            }
            if (key == "Label") {
                const auto value = reference(*root, root->count + k);
                LabelValue found;
                found.isString = appendString(value, found.text);
                label = std::move(found);
            }
        }
        return decided(true, label);
    }

private:
    enum class Kind { scalar, ascii, utf16, array, dictionary };
    struct Object {
        Kind kind;
        std::size_t start; // first byte after the marker and count
        std::size_t count; // characters of a string, entries of an array or a dictionary
    };

    // The object at `index`, if it is of a kind this reader takes.
    std::optional<Object> object(std::size_t index) const {
        std::size_t at = offsets_[index];
        const std::uint8_t marker = bytes_[at++];
        const std::uint8_t info = marker & 0x0F;
        switch (marker >> 4) {
        case 0x0:
            return info == 0x8 || info == 0x9 ? std::optional(Object{Kind::scalar, at, 0}) : std::nullopt;
        case 0x1:
            return info <= 3 ? std::optional(Object{Kind::scalar, at, 0}) : std::nullopt;
        case 0x2:
            return info == 2 || info == 3 ? std::optional(Object{Kind::scalar, at, 0}) : std::nullopt;
        case 0x3:
            return info == 3 ? std::optional(Object{Kind::scalar, at, 0}) : std::nullopt;
        case 0x4:
        case 0x5:
        case 0x6:
        case 0xA:
        case 0xD: {
            std::size_t count = info;
            if (info == 0x0F) {
                const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
                count = static_cast<std::size_t>(readBigEndian(bytes_, at + 1, width));
                at += 1 + width;
            }
            constexpr Kind kinds[] = {Kind::scalar, Kind::ascii, Kind::utf16};
            const auto type = marker >> 4;
            const Kind kind = type == 0xA ? Kind::array : type == 0xD ? Kind::dictionary : kinds[type - 0x4];
            return Object{kind, at, count};
        }
        default:
            return std::nullopt;
        }
    }

    std::size_t reference(const Object& container, std::size_t k) const {
        return static_cast<std::size_t>(readBigEndian(bytes_, container.start + k * refSize_, refSize_));
    }

    // Appends the string object at `index` as UTF-8; false when it is no string this reader takes.
    bool appendString(std::size_t index, std::string& out) const {
        const auto found = object(index);
        if (!found || (found->kind != Kind::ascii && found->kind != Kind::utf16)) {
            return false;
        }
        if (found->kind == Kind::ascii) {
            const auto text = bytes_.subspan(found->start, found->count);
            if (std::any_of(text.begin(), text.end(), [](std::uint8_t b) { return b >= 0x80; })) {
                return false;
            }
            out.append(reinterpret_cast<const char*>(text.data()), text.size());
            return true;
        }
        if (found->count == 0) {
            return false; // the parser fails on an empty UTF-16 string, and with it the whole list
        }
        for (std::size_t k = 0; k < found->count; ++k) {
            const auto unit = static_cast<std::uint32_t>(readBigEndian(bytes_, found->start + 2 * k, 2));
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                return false;
            }
            if (unit < 0xD800 || unit > 0xDBFF) {
                appendUtf8(unit, out);
                continue;
            }
            if (++k == found->count) {
                return false;
            }
            const auto low = static_cast<std::uint32_t>(readBigEndian(bytes_, found->start + 2 * k, 2));
            if (low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            appendUtf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), out);
        }
        return true;
    }

    // Whether every object reached from `top` is of a kind this reader takes, dictionary keys strings.
    bool reachAll(std::size_t top) const {
        std::vector<std::pair<std::size_t, bool>> pending{{top, false}}; // object, whether it is a key
        std::string scratch;
        while (!pending.empty()) {
            const auto [index, isKey] = pending.back();
            pending.pop_back();
            const auto found = object(index);
            if (!found) {
                return false;
            }
            if (found->kind == Kind::ascii || found->kind == Kind::utf16) {
                scratch.clear();
                if (!appendString(index, scratch)) {
                    return false;
                }
                continue;
            }
            if (isKey) {
                return false;
            }
            const std::size_t references = found->kind == Kind::dictionary ? 2 * found->count
                                           : found->kind == Kind::array    ? found->count
                                                                           : 0;
            for (std::size_t k = 0; k < references; ++k) {
                pending.emplace_back(reference(*found, k),
                                     found->kind == Kind::dictionary && k < found->count);
            }
        }
        return true;
    }

    Bytes bytes_;
    std::size_t refSize_ = 0;
    std::size_t objectsEnd_ = 0;
    std::vector<std::size_t> offsets_;
};

bool startsWith(Bytes bytes, std::string_view text) {
    return bytes.size() >= text.size() &&
           std::equal(text.begin(), text.end(), bytes.begin(),
                      [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

} // namespace

LabelReading jobLabelFromBytes(std::span<const std::uint8_t> bytes) {
    // What the guard refuses never reaches a parser, so it has no label.
    if (!propertyListPassesGuard(bytes)) {
        return {Outcome::noLabel, {}};
    }
    const auto reading =
        startsWith(bytes, "bplist00")
            ? BinaryLabelWalk(bytes).run()
            : XmlLabelWalk({reinterpret_cast<const char*>(bytes.data()), bytes.size()}).run();
    return reading.value_or(LabelReading{});
}

} // namespace agent
