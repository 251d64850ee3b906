#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace agent {

// A parsed property list, reduced to what the agent reads: strings, arrays and dictionaries;
// every other value (numbers, dates, data, Booleans) is `Other`.
class PlistValue {
public:
    struct Other {
        bool operator==(const Other&) const = default;
    };
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue, std::less<>>;

    PlistValue()
        : storage_(Other{}) {}
    PlistValue(std::string value)
        : storage_(std::move(value)) {}
    PlistValue(Array value)
        : storage_(std::move(value)) {}
    PlistValue(Dictionary value)
        : storage_(std::move(value)) {}

    const std::string* string() const { return std::get_if<std::string>(&storage_); }
    const Array* array() const { return std::get_if<Array>(&storage_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&storage_); }
    bool operator==(const PlistValue&) const = default;

private:
    std::variant<Other, std::string, Array, Dictionary> storage_;
};

// The platform's property-list reader (XML and binary). It only ever sees bytes that the
// portable guard has already accepted.
class PropertyListParser {
public:
    virtual ~PropertyListParser() = default;
    virtual std::optional<PlistValue> parse(std::span<const std::uint8_t> bytes) = 0;
};

// The platform's property-list reader.
std::unique_ptr<PropertyListParser> makePropertyListParser();

} // namespace agent
