#include "SyslogSystemLog.hpp"

#include <cstdio>
#include <string>
#include <syslog.h>

namespace action_service {

SyslogSystemLog::SyslogSystemLog() {
    ::openlog("Quorvel5XPCAction", LOG_PID, LOG_USER);
}

void SyslogSystemLog::write(std::string_view line) {
    const std::string text(line);
    ::syslog(LOG_NOTICE, "%s", text.c_str());
    std::fprintf(stderr, "Quorvel5XPCAction: %s\n", text.c_str());
    std::fflush(stderr);
}

} // namespace action_service
