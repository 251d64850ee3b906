#include "LabelReaders.hpp"
#include "XmlText.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace agent {

namespace {

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
// exactly as <name>, <name/> (for the values whose empty form the parser reads) and </name>, with white space
// and comments between them, keys and values in turn in a dictionary, and only text and CDATA in strings,
// keys and other scalars. What the platform parser does with the rest of the file after the root ends does
// not matter: it stops there.
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
                // Not <key/>: the parser refuses a dictionary that holds one, though it reads <key></key>.
                if (!(take("<key>") && readText("</key>", text))) {
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
                       !take("<integer/>") && !take("<real/>") && !take("<date/>") && !take("<data/>") &&
                       !skipScalar()) {
                return std::nullopt;
            }
            if (forLabel) {
                label = LabelValue{isString, isString ? text : std::string()};
            }
        }
        return decidedLabel(rootIsDictionary, label);
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

} // namespace

std::optional<LabelReading> xmlListLabel(std::string_view text) {
    return XmlLabelWalk(text).run();
}

} // namespace agent
