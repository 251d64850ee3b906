#pragma once

#include "platform/SystemLog.hpp"

namespace action_service {

// The unified system log (os_log, default log and level).
class OsLogSystemLog final : public SystemLog {
public:
    void write(std::string_view line) override;
};

} // namespace action_service
