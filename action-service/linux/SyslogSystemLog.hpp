#pragma once

#include "platform/SystemLog.hpp"

namespace action_service {

// The system log (syslog, user facility) and one line on standard error, which the session's
// journal or a test's bus keeps when syslog has no reader.
class SyslogSystemLog final : public SystemLog {
public:
    SyslogSystemLog();
    void write(std::string_view line) override;
};

} // namespace action_service
