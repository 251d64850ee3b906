#pragma once

#include "platform/ProcessExit.hpp"

namespace action_service {

// Waits (bounded) until the replies the current XPC connection has sent are out, flushes the standard
// streams and ends the process with status 0.
class ServiceProcessExit final : public ProcessExit {
public:
    [[noreturn]] void exit() override;
};

} // namespace action_service
