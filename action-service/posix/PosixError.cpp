#include "PosixError.hpp"

#include <cstring>
#include <string>

namespace action_service {

namespace {

// strerror_r comes in two flavours (XSI returns int, GNU returns the text); strerror is not
// thread-safe. Overloading picks whichever this C library has.
[[maybe_unused]] std::string messageFrom(int result, const char* buffer, int code) {
    return result == 0 ? std::string(buffer) : "Unknown error " + std::to_string(code);
}
[[maybe_unused]] std::string messageFrom(const char* result, const char*, int) {
    return result;
}

} // namespace

PlatformError posixError(int code) {
    char buffer[256] = {};
    return PlatformError{"NSPOSIXErrorDomain", code,
                         messageFrom(strerror_r(code, buffer, sizeof buffer), buffer, code), ""};
}

} // namespace action_service
