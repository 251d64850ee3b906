#include "SyslogSystemLog.hpp"

#include "JournalStream.hpp"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace action_service {

SyslogSystemLog::SyslogSystemLog()
    : SyslogSystemLog(std::getenv("JOURNAL_STREAM")) {}

SyslogSystemLog::SyslogSystemLog(const char* journalStream) {
    // Once per process, whatever number of logs are made, under the static's guard; connected at once,
    // so that the first line written after a reply does not wait for the connection.
    static const bool opened = [] {
        ::openlog("Quorvel5XPCAction", LOG_PID | LOG_NDELAY, LOG_USER);
        return true;
    }();
    static_cast<void>(opened);
    std::optional<FileIdentity> standardError;
    if (struct stat status{}; ::fstat(STDERR_FILENO, &status) == 0) {
        standardError = FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                                     static_cast<std::uint64_t>(status.st_ino)};
    }
    toStandardError_ = !standardErrorIsJournal(
        journalStream != nullptr ? std::optional<std::string_view>(journalStream) : std::nullopt,
        standardError);
}

void SyslogSystemLog::write(std::string_view line) {
    const std::string text(line);
    // Only while the system log has its socket: without one, the C library makes, fails to connect and
    // closes a socket for every line, which costs more than the request the line is about.
    if (::access(_PATH_LOG, F_OK) == 0) {
        ::syslog(LOG_NOTICE, "%s", text.c_str());
    }
    if (toStandardError_) {
        std::fprintf(stderr, "Quorvel5XPCAction: %s\n", text.c_str());
        std::fflush(stderr);
    }
}

} // namespace action_service
