#pragma once

#include "Value.hpp"

#include <cstddef>
#include <optional>
#include <systemd/sd-bus.h>

namespace action_service {

// A RunAction request as RequestBuilder keeps it, and what it holds.
struct ReadRequest {
    Dictionary request;
    std::size_t bytes = 0; // keys, texts and data kept
};

// Reads the a{sv} at the message's read position into the request runAction reads. Bus types: b a
// Boolean; y n q i x a signed integer, u t an unsigned one; d a real; s o g a text; ay data; a variant is
// looked through. Entries under keys no request reads, and values of a type their key is not read as,
// are skipped unread. Nothing when the body is not an a{sv}.
std::optional<ReadRequest> readRequest(sd_bus_message* message);

// Appends a reply dictionary as a{sv}: values as b, x, d, s, ay, av and a{sv}; texts made valid D-Bus
// strings. A negative errno when the message refuses it.
int appendDictionary(sd_bus_message* message, const Dictionary& dictionary);

} // namespace action_service
