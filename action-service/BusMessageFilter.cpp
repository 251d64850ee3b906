#include "BusMessageFilter.hpp"

#include "RequestBuilder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>

namespace action_service::bus_message {

namespace {

// The protocol's bounds.
constexpr std::size_t largestMessage = std::size_t{1} << 27;
constexpr std::size_t largestArray = std::size_t{1} << 26;
// Containers and variants in one value, counted together.
constexpr int deepestNesting = 64;

constexpr std::uint8_t methodCall = 1;
constexpr std::uint8_t memberField = 3;
constexpr std::uint8_t signatureField = 8;

constexpr std::size_t alignUp(std::size_t offset, std::size_t alignment) {
    return (offset + alignment - 1) / alignment * alignment;
}

std::size_t fixedSizeOf(char code) {
    switch (code) {
    case 'y':
        return 1;
    case 'n':
    case 'q':
        return 2;
    case 'b':
    case 'i':
    case 'u':
    case 'h':
        return 4;
    case 'x':
    case 't':
    case 'd':
        return 8;
    default:
        return 0;
    }
}

// A fixed-size value is aligned to its size.
std::size_t alignmentOf(char code) {
    if (const std::size_t size = fixedSizeOf(code); size != 0) {
        return size;
    }
    switch (code) {
    case 's':
    case 'o':
    case 'a':
        return 4;
    case '(':
    case '{':
        return 8;
    default:
        return 1; // g v, and codes that fail later
    }
}

bool isBasic(char code) {
    return fixedSizeOf(code) != 0 || code == 's' || code == 'o' || code == 'g';
}

// Takes one complete type off the front of `signature`.
bool takeType(std::string_view& signature, int depth) {
    if (signature.empty() || depth > deepestNesting) {
        return false;
    }
    const char code = signature.front();
    signature.remove_prefix(1);
    if (isBasic(code) || code == 'v') {
        return true;
    }
    if (code == 'a') {
        return takeType(signature, depth + 1);
    }
    if (code == '(') {
        do {
            if (!takeType(signature, depth + 1)) {
                return false;
            }
        } while (!signature.empty() && signature.front() != ')');
        if (signature.empty()) {
            return false;
        }
        signature.remove_prefix(1);
        return true;
    }
    if (code == '{') {
        if (signature.empty() || !isBasic(signature.front())) {
            return false;
        }
        signature.remove_prefix(1);
        if (!takeType(signature, depth + 1) || signature.empty() || signature.front() != '}') {
            return false;
        }
        signature.remove_prefix(1);
        return true;
    }
    return false;
}

// Whether `signature` is exactly one complete type.
bool isSingleType(std::string_view signature) {
    return takeType(signature, 0) && signature.empty();
}

// Reads a message at offsets counted from its first byte, which is what alignment is relative to.
class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, bool littleEndian, std::size_t position)
        : bytes_(bytes)
        , little_(littleEndian)
        , position_(position) {}

    std::size_t position() const { return position_; }

    bool align(std::size_t alignment) { return skip(alignUp(position_, alignment) - position_); }

    bool skip(std::size_t count) {
        if (count > bytes_.size() - position_) {
            return false;
        }
        position_ += count;
        return true;
    }

    std::optional<std::uint64_t> number(std::size_t size) {
        if (!align(size) || size > bytes_.size() - position_) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t byte = bytes_[position_ + (little_ ? size - 1 - i : i)];
            value = (value << 8) | byte;
        }
        position_ += size;
        return value;
    }

    // s and o: a length, the bytes and a nul; g: the same with a one-byte length. What is returned ends
    // at the first nul: GDBus takes a text only that far, whatever its length says, and a key, member
    // or signature must be judged as GDBus will read it.
    std::optional<std::string_view> text(char code) {
        const auto length = number(code == 'g' ? 1 : 4);
        if (!length || *length >= bytes_.size() - position_ || bytes_[position_ + *length] != 0) {
            return std::nullopt;
        }
        const std::string_view text(reinterpret_cast<const char*>(bytes_.data() + position_), *length);
        position_ += *length + 1;
        return text.substr(0, text.find('\0'));
    }

    // Skips one value of the complete type at the front of `signature` and takes the type off it.
    bool skipValue(std::string_view& signature, int depth) {
        if (signature.empty() || depth > deepestNesting) {
            return false;
        }
        const char code = signature.front();
        if (const std::size_t size = fixedSizeOf(code); size != 0) {
            signature.remove_prefix(1);
            return number(size).has_value();
        }
        switch (code) {
        case 's':
        case 'o':
        case 'g':
            signature.remove_prefix(1);
            return text(code).has_value();
        case 'v': {
            signature.remove_prefix(1);
            const auto inner = text('g');
            std::string_view type = inner.value_or("");
            return inner && isSingleType(type) && skipValue(type, depth + 1);
        }
        case 'a': {
            signature.remove_prefix(1);
            const std::string_view rest = signature;
            if (!takeType(signature, depth + 1)) {
                return false;
            }
            const std::string_view element = rest.substr(0, rest.size() - signature.size());
            const auto length = number(4);
            if (!length || *length > largestArray || !align(alignmentOf(element.front())) ||
                *length > bytes_.size() - position_) {
                return false;
            }
            // GDBus reads the elements one by one and goes on from where the last one ended, even past
            // the array's length; an array is taken only when its elements fill it exactly, so that both
            // find the same values after it.
            if (const std::size_t size = fixedSizeOf(element.front()); size != 0) {
                return *length % size == 0 && skip(*length);
            }
            const std::size_t end = position_ + *length;
            while (position_ < end) {
                if (std::string_view type = element; !skipValue(type, depth + 1)) {
                    return false;
                }
            }
            return position_ == end;
        }
        case '(':
        case '{': {
            const char close = code == '(' ? ')' : '}';
            signature.remove_prefix(1);
            if (!align(8)) {
                return false;
            }
            while (!signature.empty() && signature.front() != close) {
                if (!skipValue(signature, depth + 1)) {
                    return false;
                }
            }
            if (signature.empty()) {
                return false;
            }
            signature.remove_prefix(1);
            return true;
        }
        default:
            return false;
        }
    }

private:
    std::span<const std::uint8_t> bytes_;
    bool little_;
    std::size_t position_;
};

bool isLittleEndian(std::uint8_t order) {
    return order == 'l';
}

void store32(std::uint8_t* at, std::uint32_t value, bool littleEndian) {
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t shift = 8 * (littleEndian ? i : 3 - i);
        at[i] = static_cast<std::uint8_t>((value >> shift) & 0xFF);
    }
}

// How RequestBuilder would be handed a value of this bus type: VariantValue's translation.
std::optional<RequestBuilder::Type> readAs(std::string_view type, Reader value) {
    using Type = RequestBuilder::Type;
    if (type == "ay") {
        return Type::data;
    }
    if (type.size() != 1) {
        return std::nullopt;
    }
    switch (type.front()) {
    case 'b':
        return Type::boolean;
    case 'y':
    case 'n':
    case 'q':
    case 'i':
    case 'u':
    case 'x':
        return Type::integer;
    case 't': {
        // Above the int64 range a number is not an integer.
        const auto number = value.number(8);
        if (number && *number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return Type::integer;
        }
        return std::nullopt;
    }
    case 's':
    case 'o':
    case 'g':
        return Type::text;
    default:
        return std::nullopt;
    }
}

struct Kept {
    std::string_view key;
    std::size_t begin;
    std::size_t end;
};

} // namespace

std::optional<Frame> frameOf(std::span<const std::uint8_t> start) {
    if (start.size() < fixedHeaderSize || (start[0] != 'l' && start[0] != 'B')) {
        return std::nullopt;
    }
    Reader reader(start, isLittleEndian(start[0]), 4);
    const std::uint64_t body = reader.number(4).value_or(0);
    reader.skip(4); // serial
    const std::uint64_t fields = reader.number(4).value_or(0);
    if (fields > largestArray) {
        return std::nullopt;
    }
    const std::size_t header = alignUp(fixedHeaderSize + fields, 8);
    if (body > largestMessage - header) {
        return std::nullopt;
    }
    return Frame{header, header + body};
}

bool isRunActionCall(std::span<const std::uint8_t> header) {
    const auto frame = frameOf(header);
    if (!frame || header.size() < frame->header || header[1] != methodCall) {
        return false;
    }
    Reader reader(header.first(frame->header), isLittleEndian(header[0]), 12);
    const std::size_t end = fixedHeaderSize + reader.number(4).value_or(0);
    std::string_view member;
    std::string_view signature;
    while (reader.position() < end) {
        const auto code = reader.align(8) ? reader.number(1) : std::nullopt;
        const auto type = code ? reader.text('g') : std::nullopt;
        if (!type || !isSingleType(*type)) {
            return false;
        }
        std::string_view* wanted = nullptr;
        if (*code == memberField && *type == "s") {
            wanted = &member;
        } else if (*code == signatureField && *type == "g") {
            wanted = &signature;
        }
        if (wanted != nullptr) {
            const auto text = reader.text(type->front());
            if (!text) {
                return false;
            }
            *wanted = *text;
        } else if (std::string_view rest = *type; !reader.skipValue(rest, 0)) {
            return false;
        }
    }
    return reader.position() == end && member == "RunAction" && signature == "a{sv}";
}

std::size_t keepReadEntries(std::span<std::uint8_t> message, Frame frame) {
    const std::size_t unchanged = message.size();
    if (frame.total != message.size() || frame.header > message.size() || message.empty()) {
        return unchanged;
    }
    const bool little = isLittleEndian(message[0]);
    Reader reader(message, little, frame.header);
    const auto length = reader.number(4);
    if (!length || *length > largestArray || !reader.align(8) ||
        *length != message.size() - reader.position()) {
        return unchanged; // a body of more than the one array is not ours to judge
    }
    const std::size_t first = reader.position();
    // At most one entry per known key is kept.
    std::array<Kept, 16> kept{};
    std::size_t keptCount = 0;
    bool dropped = false;
    while (reader.position() < message.size()) {
        if (!reader.align(8)) {
            return unchanged;
        }
        const std::size_t begin = reader.position();
        const auto key = reader.text('s');
        auto type = key ? reader.text('g') : std::nullopt;
        if (!type || !isSingleType(*type)) {
            return unchanged;
        }
        int depth = 0;
        while (*type == "v" && ++depth <= deepestNesting) {
            type = reader.text('g');
            if (!type || !isSingleType(*type)) {
                return unchanged;
            }
        }
        const Reader value = reader;
        if (std::string_view rest = *type; depth > deepestNesting || !reader.skipValue(rest, depth)) {
            return unchanged;
        }
        const auto as = readAs(*type, value);
        if (!as || !RequestBuilder::readsAs(*key, *as)) {
            dropped = true;
            continue;
        }
        auto same = std::find_if(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(keptCount),
                                 [&](const Kept& entry) { return entry.key == *key; });
        if (same != kept.begin() + static_cast<std::ptrdiff_t>(keptCount)) {
            // The later entry counts; the earlier goes, and those after it move up.
            std::rotate(same, same + 1, kept.begin() + static_cast<std::ptrdiff_t>(keptCount));
            --keptCount;
            dropped = true;
        }
        if (keptCount == kept.size()) {
            return unchanged; // more known keys than there are: cannot happen
        }
        kept[keptCount++] = Kept{*key, begin, reader.position()};
    }
    if (!dropped) {
        return unchanged;
    }
    // Entries start at multiples of 8 and move by multiples of 8, so what is inside them stays aligned.
    std::size_t end = first;
    for (std::size_t i = 0; i < keptCount; ++i) {
        const std::size_t start = alignUp(end, 8);
        std::memset(message.data() + end, 0, start - end);
        std::memmove(message.data() + start, message.data() + kept[i].begin, kept[i].end - kept[i].begin);
        end = start + (kept[i].end - kept[i].begin);
    }
    store32(message.data() + frame.header, static_cast<std::uint32_t>(end - first), little);
    store32(message.data() + 4, static_cast<std::uint32_t>(end - frame.header), little);
    return end;
}

} // namespace action_service::bus_message
