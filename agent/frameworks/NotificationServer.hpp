#pragma once

#include "frameworks/NotificationCenter.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace agent {

// What came back for one call to the notification server.
struct ServerReply {
    enum class Outcome {
        answered,     // a method return
        error,        // an error reply, from the server or from the bus on its behalf
        timedOut,     // nothing came back within the call's time-out
        disconnected, // the bus connection is gone
    };
    Outcome outcome = Outcome::answered;
    std::string sender;                    // answered: the unique bus name of the server that answered
    std::string errorName;                 // error: the D-Bus error name
    std::string message;                   // error, timedOut, disconnected: what the bus said, for the log
    std::uint32_t id = 0;                  // a Notify call's notification id
    std::vector<std::string> capabilities; // a GetCapabilities call's answer
};

// The desktop's notification server, as the delivery policy sees it: it makes the calls and prints the
// lines; each call's reply comes back to the policy under the number it was made with.
class NotificationServer {
public:
    using Call = std::uint64_t;
    virtual ~NotificationServer() = default;
    // Whether there is a bus to call on at all.
    virtual bool reachable() const = 0;
    virtual void getCapabilities(Call call, std::chrono::milliseconds timeout) = 0;
    // The body is escaped as markup when `bodyMarkup` is set.
    virtual void notify(Call call, const UserNotification& notification, bool bodyMarkup,
                        std::chrono::milliseconds timeout) = 0;
    // One line of standard output, where a notification that cannot be shown goes; and of standard error.
    virtual void printLine(const std::string& line) = 0;
    virtual void logLine(const std::string& line) = 0;
};

} // namespace agent
