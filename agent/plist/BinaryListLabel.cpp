#include "BigEndian.hpp"
#include "LabelReaders.hpp"
#include "Utf8Writer.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace agent {

namespace {

using Bytes = std::span<const std::uint8_t>;

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
            return decidedLabel(false, std::nullopt);
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
        return decidedLabel(true, label);
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

} // namespace

std::optional<LabelReading> binaryListLabel(std::span<const std::uint8_t> bytes) {
    return BinaryLabelWalk(bytes).run();
}

} // namespace agent
