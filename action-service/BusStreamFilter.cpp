#include "BusStreamFilter.hpp"

#include <algorithm>
#include <cstring>

namespace action_service {

std::span<std::uint8_t> BusStreamFilter::space() {
    reserve(std::max(wanted_, (end_ - readyEnd_) + smallestRead));
    return {buffer_.get() + end_, capacity_ - end_};
}

void BusStreamFilter::received(std::size_t count) {
    end_ += std::min(count, capacity_ - end_);
    advance();
}

void BusStreamFilter::ended() {
    readyEnd_ = end_;
    framed_ = false;
    wanted_ = 0;
}

void BusStreamFilter::consumed(std::size_t count) {
    begin_ += std::min(count, readyEnd_ - begin_);
    if (begin_ == end_) {
        begin_ = readyEnd_ = end_ = 0;
        if (capacity_ > chunk) {
            // A large call has been read: its buffer goes now, not with the next one.
            buffer_.reset();
            capacity_ = 0;
        }
    }
}

// Room for `bytes` from readyEnd_ on: unread bytes move to the front, and a buffer too small is
// replaced by one just large enough, so a call of any size is held once.
void BusStreamFilter::reserve(std::size_t bytes) {
    if (capacity_ - readyEnd_ >= bytes) {
        return;
    }
    const std::size_t held = end_ - begin_;
    const std::size_t needed = (readyEnd_ - begin_) + bytes;
    if (needed <= capacity_) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, held);
    } else {
        // Left uninitialized: pages the socket has not filled yet are not made resident.
        std::unique_ptr<std::uint8_t[]> larger(new std::uint8_t[std::max(chunk, needed)]);
        if (held != 0) {
            std::memcpy(larger.get(), buffer_.get() + begin_, held);
        }
        buffer_ = std::move(larger);
        capacity_ = std::max(chunk, needed);
    }
    readyEnd_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
}

void BusStreamFilter::advance() {
    while (readyEnd_ < end_) {
        const std::size_t available = end_ - readyEnd_;
        if (!framed_) {
            readyEnd_ = end_;
            return;
        }
        if (passing_ != 0) {
            const std::size_t count = std::min(passing_, available);
            readyEnd_ += count;
            passing_ -= count;
            continue;
        }
        if (available < wanted_) {
            return; // judged already, and still short
        }
        const std::span<std::uint8_t> message(buffer_.get() + readyEnd_, available);
        if (available < bus_message::fixedHeaderSize) {
            wanted_ = bus_message::fixedHeaderSize;
            return;
        }
        const auto frame = bus_message::frameOf(message);
        if (!frame) {
            framed_ = false;
            wanted_ = 0;
            continue;
        }
        if (available < frame->header) {
            wanted_ = frame->header;
            return;
        }
        if (!bus_message::isRunActionCall(message.first(frame->header))) {
            wanted_ = 0;
            passing_ = frame->total;
            continue;
        }
        if (available < frame->total) {
            wanted_ = frame->total;
            return;
        }
        wanted_ = 0;
        const std::size_t kept = bus_message::keepReadEntries(message.first(frame->total), *frame);
        if (kept < frame->total) {
            // What followed the call in the same read moves up behind what is left of it.
            std::memmove(message.data() + kept, message.data() + frame->total, available - frame->total);
            end_ -= frame->total - kept;
        }
        readyEnd_ += kept;
    }
}

} // namespace action_service
