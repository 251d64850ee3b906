#pragma once

#include "Value.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace action_service {

// Builds, from the entries of a platform dictionary, the request that runAction reads: only the keys a
// request is read by (Action::Key), each only in the type it is read as. A value of another type reads
// as absent anyway, so it is never converted, and nothing of an unknown key is looked at: a request's
// size costs the service no more than the platform's own copy of it.
//
// A backend asks reads() before it looks at a value and hands over what it finds, translated to the
// calls below; the rules are here. Entries without a value that runAction can read are left out, so
// of several entries under one key the last readable one counts.
class RequestBuilder {
public:
    enum class Type { boolean, integer, text, data };

    // Whether an entry under the key can matter at all.
    static bool reads(std::string_view key);
    // Whether a value of the type under the key is kept.
    static bool readsAs(std::string_view key, Type type);

    // A Boolean is never an integer, and an integer never a Boolean.
    void boolean(std::string_view key, bool value);
    void signedInteger(std::string_view key, std::int64_t value);
    // Above the int64 range a number is not an integer.
    void unsignedInteger(std::string_view key, std::uint64_t value);
    // No key is read as a real; a real is never an integer, even a whole one.
    void real(std::string_view key, double value);
    void text(std::string_view key, std::string_view value);
    void data(std::string_view key, std::span<const std::uint8_t> value);

    Dictionary take() { return std::move(request_); }

private:
    void keep(std::string_view key, Value value);

    Dictionary request_;
};

} // namespace action_service
