#pragma once

#include "BusMessageFilter.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace action_service {

// What the service's bus connection reads, from what the bus socket gives after authentication: each
// RunAction call held until it is whole and handed on with only the entries a request reads
// (bus_message::keepReadEntries), every other message handed on as it comes, byte for byte. Bytes that
// no message frame fits are handed on unchanged, and so is all that follows them, for the bus library
// to judge. Only a RunAction call is ever held whole; it is let go as soon as it has been read.
class BusStreamFilter {
public:
    // Where the next bytes from the socket go; asked for when ready() is empty. Never empty.
    std::span<std::uint8_t> space();
    void received(std::size_t count);
    // The socket has no more to give: what is held goes on as it is.
    void ended();

    std::span<const std::uint8_t> ready() const { return {buffer_.get() + begin_, readyEnd_ - begin_}; }
    void consumed(std::size_t count);

private:
    // What a buffer holds unless a RunAction call needs more.
    static constexpr std::size_t chunk = 64 * 1024;
    // Room asked of the socket at the least, so that bytes do not come in one by one.
    static constexpr std::size_t smallestRead = 4096;

    void advance();
    void reserve(std::size_t bytes);

    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;    // first byte not yet read
    std::size_t readyEnd_ = 0; // end of what may be read
    std::size_t end_ = 0;      // end of what the socket gave
    std::size_t passing_ = 0;  // bytes of the current message still to go on unchanged
    std::size_t wanted_ = 0;   // bytes the message at readyEnd_ needs before it is judged
    bool framed_ = true;       // false once bytes fit no frame: all the rest goes on
};

} // namespace action_service
