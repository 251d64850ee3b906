#include "OsLogSystemLog.hpp"

#include <os/log.h>
#include <string>

namespace action_service {

void OsLogSystemLog::write(std::string_view line) {
    const std::string text(line);
    // Public: the line names a path, which the log would otherwise redact.
    os_log(OS_LOG_DEFAULT, "%{public}s", text.c_str());
}

} // namespace action_service
