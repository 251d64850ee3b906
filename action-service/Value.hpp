#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace action_service {

// A request or reply value: what crosses the IPC boundary. Reading a value with the
// wrong type gives nothing, exactly as if it were absent.
class Value {
public:
    using Data = std::vector<std::uint8_t>;
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value, std::less<>>;
    using Storage = std::variant<bool, std::int64_t, double, std::string, Data, Array, Dictionary>;

    Value()
        : storage_(Dictionary{}) {}
    Value(bool value)
        : storage_(value) {}
    Value(std::int64_t value)
        : storage_(value) {}
    Value(int value)
        : storage_(std::int64_t{value}) {}
    Value(double value)
        : storage_(value) {}
    Value(std::string value)
        : storage_(std::move(value)) {}
    Value(const char* value)
        : storage_(std::string(value)) {}
    Value(std::string_view value)
        : storage_(std::string(value)) {}
    Value(Data value)
        : storage_(std::move(value)) {}
    Value(Array value)
        : storage_(std::move(value)) {}
    Value(Dictionary value)
        : storage_(std::move(value)) {}

    const bool* boolean() const { return std::get_if<bool>(&storage_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&storage_); }
    const double* real() const { return std::get_if<double>(&storage_); }
    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const Data* data() const { return std::get_if<Data>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }

    const Storage& storage() const { return storage_; }
    bool operator==(const Value&) const = default;

private:
    Storage storage_;
};

using Dictionary = Value::Dictionary;

// Keyed reads of a dictionary; a missing key and a value of another type are alike.
std::optional<bool> readBoolean(const Dictionary& dictionary, std::string_view key);
std::optional<std::int64_t> readInteger(const Dictionary& dictionary, std::string_view key);
// Pointers stay valid while the dictionary lives; large texts are never copied to be read.
const std::string* readString(const Dictionary& dictionary, std::string_view key);
const Value::Data* readData(const Dictionary& dictionary, std::string_view key);

} // namespace action_service
