#pragma once

#include "Value.hpp"

#include <glib.h>
#include <optional>

namespace action_service {

// Request values from the bus: b is a Boolean; y n q i u x t an integer (a t above the int64 range
// is no integer: it comes as a real); d a real; s o g a string; ay data; a{sv} a dictionary; any
// other array an array; a variant is looked through. Anything else has no value.
std::optional<Value> valueFromVariant(GVariant* variant);
// An a{sv} as a dictionary; entries without a value are left out.
Dictionary dictionaryFromVariant(GVariant* variant);

// Reply values for the bus: b, x, d, s, ay, av and a{sv}. Texts are made valid D-Bus strings.
// The result is floating.
GVariant* variantFromValue(const Value& value);
GVariant* variantFromDictionary(const Dictionary& dictionary);

} // namespace action_service
