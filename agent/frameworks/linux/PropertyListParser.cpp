#include "../PropertyList.hpp"
#include "PropertyListGuard.hpp"

#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace agent {

namespace {

// Turns libplist's tree into a PlistValue, within the guard's depth and node budgets.
class Conversion {
public:
    // Fills `out`; false when the tree is beyond the budgets or a value cannot be read.
    bool convert(plist_t node, std::size_t depth, PlistValue& out) {
        if (!budget_.enter(depth)) {
            return false;
        }
        switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            if (text == nullptr) {
                return false;
            }
            out = PlistValue(std::string(text));
            std::free(text);
            return true;
        }
        case PLIST_ARRAY: {
            // Walked with an iterator: fetching element k by index walks k siblings, which makes a long array
            // quadratic.
            PlistValue::Array array;
            plist_array_iter iterator = nullptr;
            plist_array_new_iter(node, &iterator);
            bool complete = true;
            for (;;) {
                plist_t item = nullptr;
                plist_array_next_item(node, iterator, &item);
                if (item == nullptr) {
                    break;
                }
                if (!convert(item, depth + 1, array.emplace_back())) {
                    complete = false;
                    break;
                }
            }
            std::free(iterator);
            if (complete) {
                out = PlistValue(std::move(array));
            }
            return complete;
        }
        case PLIST_DICT: {
            PlistValue::Dictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            bool complete = true;
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &key, &item);
                if (item == nullptr) {
                    std::free(key);
                    break;
                }
                std::string keyText = key != nullptr ? key : "";
                std::free(key);
                if (!convert(item, depth + 1, dictionary[std::move(keyText)])) {
                    complete = false;
                    break;
                }
            }
            std::free(iterator);
            if (complete) {
                out = PlistValue(std::move(dictionary));
            }
            return complete;
        }
        default:
            out = PlistValue();
            return true;
        }
    }

private:
    ConversionBudget budget_;
};

class LibplistParser final : public PropertyListParser {
public:
    std::optional<PlistValue> parse(std::span<const std::uint8_t> bytes) override {
        if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        // Both readers want a terminated buffer to be safe from reading past the end.
        const std::string buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        plist_t root = nullptr;
        plist_from_memory(buffer.c_str(), static_cast<std::uint32_t>(buffer.size()), &root);
        if (root == nullptr) {
            return std::nullopt;
        }
        // Freed however the conversion ends, a failed allocation included.
        const std::unique_ptr<void, decltype(&plist_free)> tree(root, plist_free);
        PlistValue value;
        if (!Conversion().convert(root, 1, value)) {
            return std::nullopt;
        }
        return value;
    }
};

} // namespace

std::unique_ptr<PropertyListParser> makePropertyListParser() {
    return std::make_unique<LibplistParser>();
}

} // namespace agent
