#include "RequestBuilder.hpp"

#include "Action.hpp"

#include <array>
#include <limits>
#include <utility>

namespace action_service {

namespace {
using Key = Action::Key;
} // namespace

bool RequestBuilder::readsAs(std::string_view key, Type type) {
    // "kind" and "privileged" by runAction, "authData" by the authorization check, the rest by the kinds.
    static constexpr std::array<std::pair<std::string_view, Type>, 9> keys{{
        {Key::kind, Type::integer},
        {Key::privileged, Type::boolean},
        {Key::authData, Type::data},
        {Key::path, Type::text},
        {Key::deletePath, Type::text},
        {Key::testPath, Type::text},
        {Key::testOutputPath, Type::text},
        {Key::plistString, Type::text},
        {Key::label, Type::text},
    }};
    for (const auto& [name, wanted] : keys) {
        if (name == key) {
            return wanted == type;
        }
    }
    return false;
}

bool RequestBuilder::reads(std::string_view key) {
    for (Type type : {Type::boolean, Type::integer, Type::text, Type::data}) {
        if (readsAs(key, type)) {
            return true;
        }
    }
    return false;
}

void RequestBuilder::keep(std::string_view key, Value value) {
    if (auto found = request_.find(key); found != request_.end()) {
        found->second = std::move(value);
    } else {
        request_.emplace(std::string(key), std::move(value));
    }
}

void RequestBuilder::boolean(std::string_view key, bool value) {
    if (readsAs(key, Type::boolean)) {
        keep(key, Value(value));
    }
}

void RequestBuilder::signedInteger(std::string_view key, std::int64_t value) {
    if (readsAs(key, Type::integer)) {
        keep(key, Value(value));
    }
}

void RequestBuilder::unsignedInteger(std::string_view key, std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        signedInteger(key, static_cast<std::int64_t>(value));
    }
}

void RequestBuilder::real(std::string_view, double) {}

void RequestBuilder::text(std::string_view key, std::string_view value) {
    if (readsAs(key, Type::text)) {
        keep(key, Value(value));
    }
}

void RequestBuilder::data(std::string_view key, std::span<const std::uint8_t> value) {
    if (readsAs(key, Type::data)) {
        keep(key, Value(Value::Data(value.begin(), value.end())));
    }
}

} // namespace action_service
