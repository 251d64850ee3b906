#pragma once

#include "Value.hpp"

#include <glib.h>

namespace action_service {

// The request in the a{sv} of a RunAction call, as RequestBuilder keeps it. Bus types: b a Boolean;
// y n q i x a signed integer, u t an unsigned one; d a real; s o g a text; ay data; a variant is looked
// through. Values of any other type, and every value under a key no request reads, are not looked at.
Dictionary requestFromVariant(GVariant* dictionary);

// Reply values for the bus: b, x, d, s, ay, av and a{sv}. Texts are made valid D-Bus strings.
// The result is floating.
GVariant* variantFromValue(const Value& value);
GVariant* variantFromDictionary(const Dictionary& dictionary);

} // namespace action_service
