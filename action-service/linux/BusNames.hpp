#pragma once

#include <string>
#include <string_view>

namespace action_service {

// Where the service lives on the bus, derived from the main application's bundle identifier.
struct BusNames {
    std::string name;      // well-known name
    std::string path;      // object path
    std::string interface; // interface of RunAction and ListenerEndpoint

    // A '-' (legal in a bundle identifier, not in a bus name) becomes '_'.
    static BusNames forBundleIdentifier(std::string_view identifier);
};

// The text as a D-Bus string may carry it: every NUL byte and every invalid UTF-8 sequence
// becomes U+FFFD.
std::string busString(std::string_view bytes);

} // namespace action_service
