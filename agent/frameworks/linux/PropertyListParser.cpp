#include "../PropertyList.hpp"
#include "PropertyListGuard.hpp"

#include <cstdlib>
#include <limits>
#include <plist/plist.h>

namespace agent {

namespace {

// Turns libplist's tree into a PlistValue, within the same depth and node budgets as the guard.
class Conversion {
public:
    std::optional<PlistValue> convert(plist_t node, std::size_t depth) {
        if (++nodes_ > PropertyListLimits::maxNodes || depth > PropertyListLimits::maxDepth) {
            return std::nullopt;
        }
        switch (plist_get_node_type(node)) {
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            if (text == nullptr) {
                return std::nullopt;
            }
            std::string value(text);
            std::free(text);
            return PlistValue(std::move(value));
        }
        case PLIST_ARRAY: {
            PlistValue::Array array;
            const std::uint32_t size = plist_array_get_size(node);
            for (std::uint32_t k = 0; k < size; ++k) {
                auto element = convert(plist_array_get_item(node, k), depth + 1);
                if (!element) {
                    return std::nullopt;
                }
                array.push_back(std::move(*element));
            }
            return PlistValue(std::move(array));
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
                auto value = convert(item, depth + 1);
                if (!value) {
                    complete = false;
                    break;
                }
                dictionary.insert_or_assign(std::move(keyText), std::move(*value));
            }
            std::free(iterator);
            if (!complete) {
                return std::nullopt;
            }
            return PlistValue(std::move(dictionary));
        }
        default:
            return PlistValue();
        }
    }

private:
    std::size_t nodes_ = 0;
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
        auto value = Conversion().convert(root, 1);
        plist_free(root);
        return value;
    }
};

} // namespace

std::unique_ptr<PropertyListParser> makePropertyListParser() {
    return std::make_unique<LibplistParser>();
}

} // namespace agent
