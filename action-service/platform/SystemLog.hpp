#pragma once

#include <string_view>

namespace action_service {

// The system log. The texts are made by the caller: a fixed text, and where it names a path or a label,
// that text through the shared shown-text rule (shownText). A backend only forwards them.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void write(std::string_view line) = 0;
};

} // namespace action_service
