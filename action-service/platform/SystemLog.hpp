#pragma once

#include <string_view>

namespace action_service {

// The system log. The service writes only three fixed lines; the texts are made by the caller.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void write(std::string_view line) = 0;
};

} // namespace action_service
