#include "SyslogSystemLog.hpp"

#include <cstdio>
#include <string>
#include <syslog.h>

namespace action_service {

SyslogSystemLog::SyslogSystemLog() {
    // Once per process, whatever number of logs are made, under the static's guard; connected at once,
    // so that the first line written after a reply does not wait for the connection.
    static const bool opened = [] {
        ::openlog("Quorvel5XPCAction", LOG_PID | LOG_NDELAY, LOG_USER);
        return true;
    }();
    static_cast<void>(opened);
}

void SyslogSystemLog::write(std::string_view line) {
    const std::string text(line);
    ::syslog(LOG_NOTICE, "%s", text.c_str());
    std::fprintf(stderr, "Quorvel5XPCAction: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace action_service
