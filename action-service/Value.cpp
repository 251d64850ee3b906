#include "Value.hpp"

namespace action_service {

namespace {
const Value* find(const Dictionary& dictionary, std::string_view key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &it->second;
}
} // namespace

std::optional<bool> readBoolean(const Dictionary& dictionary, std::string_view key) {
    const Value* value = find(dictionary, key);
    if (value == nullptr || value->boolean() == nullptr) {
        return std::nullopt;
    }
    return *value->boolean();
}

std::optional<std::int64_t> readInteger(const Dictionary& dictionary, std::string_view key) {
    const Value* value = find(dictionary, key);
    if (value == nullptr || value->integer() == nullptr) {
        return std::nullopt;
    }
    return *value->integer();
}

const std::string* readString(const Dictionary& dictionary, std::string_view key) {
    const Value* value = find(dictionary, key);
    return value == nullptr ? nullptr : value->string();
}

const Value::Data* readData(const Dictionary& dictionary, std::string_view key) {
    const Value* value = find(dictionary, key);
    return value == nullptr ? nullptr : value->data();
}

} // namespace action_service
