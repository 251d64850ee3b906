#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <sys/socket.h>
#include <systemd/sd-bus.h>
#include <unistd.h>
#include <vector>

namespace service_bus {

// A message as the service's bus library receives it: raw D-Bus bytes written into one end of a socket
// pair whose other end an sd_bus connection reads, after the server's half of the handshake.
class ReceivedMessage {
public:
    explicit ReceivedMessage(std::span<const std::uint8_t> bytes) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
            return;
        }
        peer_ = fds[1];
        if (sd_bus_new(&bus_) < 0 || sd_bus_set_fd(bus_, fds[0], fds[0]) < 0 ||
            sd_bus_negotiate_fds(bus_, 0) < 0 || sd_bus_add_filter(bus_, nullptr, keep, &message_) < 0 ||
            sd_bus_start(bus_) < 0) {
            return;
        }
        // The answers to "AUTH EXTERNAL" (a challenge) and to the empty "DATA" that follows it; the message
        // goes once the handshake is over, as a bus sends it.
        const char ok[] = "DATA\r\nOK 0123456789abcdef0123456789abcdef\r\n";
        if (::write(peer_, ok, sizeof ok - 1) != static_cast<ssize_t>(sizeof ok - 1)) {
            return;
        }
        for (int turn = 0; turn < 16 && sd_bus_is_ready(bus_) <= 0; ++turn) {
            const int r = sd_bus_process(bus_, nullptr);
            if (r < 0 || (r == 0 && sd_bus_wait(bus_, 100'000) < 0)) {
                return;
            }
        }
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = ::write(peer_, bytes.data() + written, bytes.size() - written);
            if (n <= 0) {
                return;
            }
            written += static_cast<std::size_t>(n);
        }
        // The other end sends nothing more: whatever is read is the message or the reason there is none.
        ::shutdown(peer_, SHUT_WR);
        for (int turn = 0; turn < 16 && message_ == nullptr; ++turn) {
            const int r = sd_bus_process(bus_, nullptr);
            if (r < 0) {
                break;
            }
            if (r == 0 && sd_bus_wait(bus_, 100'000) < 0) {
                break;
            }
        }
    }
    ~ReceivedMessage() {
        sd_bus_message_unref(message_);
        sd_bus_flush_close_unref(bus_);
        if (peer_ >= 0) {
            ::close(peer_);
        }
    }
    ReceivedMessage(const ReceivedMessage&) = delete;
    ReceivedMessage& operator=(const ReceivedMessage&) = delete;

    // The message, at the start of its body; null when the bytes are not one.
    sd_bus_message* get() const { return message_; }

    // Sends a message over the connection and returns the bytes of it that reached the other end.
    std::vector<std::uint8_t> sendAndCollect(sd_bus_message* message) {
        std::vector<std::uint8_t> bytes;
        if (sd_bus_send(bus_, message, nullptr) < 0 || sd_bus_flush(bus_) < 0) {
            return bytes;
        }
        std::uint8_t buffer[65536];
        for (ssize_t n; (n = ::recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        // The client's half of the handshake came first.
        const std::string begin = "BEGIN\r\n";
        std::string text(bytes.begin(), bytes.end());
        const auto end = text.find(begin);
        if (end == std::string::npos) {
            return {};
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(end + begin.size()));
        return bytes;
    }

    // A little-endian RunAction call to /a whose body is `body`, as declared a{sv}.
    static std::vector<std::uint8_t> runActionCall(std::span<const std::uint8_t> body) {
        std::vector<std::uint8_t> bytes{'l', 1, 0, 1};
        auto put32 = [&](std::uint32_t value) {
            for (int i = 0; i < 4; ++i) {
                bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
            }
        };
        auto pad = [&](std::size_t alignment) {
            while (bytes.size() % alignment != 0) {
                bytes.push_back(0);
            }
        };
        put32(static_cast<std::uint32_t>(body.size()));
        put32(1); // serial
        const std::size_t lengthAt = bytes.size();
        put32(0);
        auto field = [&](std::uint8_t code, char type, const std::string& value) {
            pad(8);
            bytes.insert(bytes.end(), {code, 1, static_cast<std::uint8_t>(type), 0});
            if (type == 'g') {
                bytes.push_back(static_cast<std::uint8_t>(value.size()));
            } else {
                put32(static_cast<std::uint32_t>(value.size()));
            }
            bytes.insert(bytes.end(), value.begin(), value.end());
            bytes.push_back(0);
        };
        field(1, 'o', "/a");
        field(3, 's', "RunAction");
        field(8, 'g', "a{sv}");
        const auto fields = static_cast<std::uint32_t>(bytes.size() - lengthAt - 4);
        std::memcpy(bytes.data() + lengthAt, &fields, 4); // little-endian hosts only, as the fuzzers run
        pad(8);
        bytes.insert(bytes.end(), body.begin(), body.end());
        return bytes;
    }

private:
    // Takes the first message that arrives, before anything else sees it.
    static int keep(sd_bus_message* message, void* kept, sd_bus_error*) {
        auto& slot = *static_cast<sd_bus_message**>(kept);
        if (slot == nullptr) {
            slot = sd_bus_message_ref(message);
        }
        return 1;
    }

    sd_bus* bus_ = nullptr;
    sd_bus_message* message_ = nullptr;
    int peer_ = -1;
};

} // namespace service_bus
