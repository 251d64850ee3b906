#pragma once

#include "platform/ProcessRunner.hpp"

namespace action_service {

// Children through posix_spawn with default signal dispositions and an empty mask; every descriptor
// opened here is close-on-exec and every child is waited for by its own pid.
class PosixProcessRunner final : public ProcessRunner {
public:
    Exit run(const std::string& program, const std::vector<std::string>& arguments) override;
    Output capture(const std::string& program, const std::vector<std::string>& arguments,
                   std::size_t limit) override;
};

} // namespace action_service
