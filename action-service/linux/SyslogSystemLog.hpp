#pragma once

#include "platform/SystemLog.hpp"

namespace action_service {

// The system log (syslog, user facility) and one line on standard error, which the session's
// journal or a test's bus keeps when syslog has no reader. When standard error is the journal itself,
// syslog alone, so that the journal gets each line once.
class SyslogSystemLog final : public SystemLog {
public:
    // With the process's JOURNAL_STREAM.
    SyslogSystemLog();
    // `journalStream`: JOURNAL_STREAM's value, or null for none.
    explicit SyslogSystemLog(const char* journalStream);
    void write(std::string_view line) override;

private:
    bool toStandardError_ = true;
};

} // namespace action_service
