#pragma once

#include "platform/ProcessExit.hpp"

namespace action_service {

// Flushes the standard streams and ends the process with status 0 at once.
class ServiceProcessExit final : public ProcessExit {
public:
    [[noreturn]] void exit() override;
};

} // namespace action_service
