#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace action_service {

// D-Bus messages as they come off the bus socket, either byte order. Every length in them is checked
// against the bytes at hand, so hostile bytes cost a refusal and nothing more.
namespace bus_message {

// The first bytes of every message, which give its length.
inline constexpr std::size_t fixedHeaderSize = 16;

struct Frame {
    std::size_t header; // fixed header and header fields, padded to 8: where the body starts
    std::size_t total;
};

// The frame of the message that starts with `start` (at least fixedHeaderSize bytes), or nothing for
// bytes no message starts with: an unknown byte order, or lengths beyond the protocol's bounds.
std::optional<Frame> frameOf(std::span<const std::uint8_t> start);

// Whether the header (Frame::header bytes) is that of a RunAction call whose body is one a{sv}.
bool isRunActionCall(std::span<const std::uint8_t> header);

// Rewrites a whole RunAction call in place so that its a{sv} holds only the entries RequestBuilder
// takes: a known key with a value, looked at through variants, of the type it is read as, and of
// several such entries under one key the last. Serial, header fields and byte order stay; the body and
// array lengths follow. Returns the new length, or the old one when the body does not parse (then
// nothing is changed and the bus library judges the message).
std::size_t keepReadEntries(std::span<std::uint8_t> message, Frame frame);

} // namespace bus_message

} // namespace action_service
