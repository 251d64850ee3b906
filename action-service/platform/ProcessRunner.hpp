#pragma once

#include "PlatformError.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace action_service {

// Starts child processes with an argument vector (never through a shell unless the program is one).
// Every child is reaped; every descriptor the runner opens is close-on-exec; a child starts with
// default signal dispositions and an empty signal mask.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;

    struct Exit {
        std::optional<PlatformError> launchError; // set when the program could not be started
        int status = 0;                           // exit status; 128 + signal number for a signal
    };
    // Runs program with arguments (argv[0] is the program), standard streams inherited,
    // and waits for it to end.
    virtual Exit run(const std::string& program, const std::vector<std::string>& arguments) = 0;

    struct Output {
        std::optional<PlatformError> launchError;
        std::string bytes;      // raw bytes, undecoded: the first `limit` of them
        std::uint64_t size = 0; // every byte the program wrote
    };
    // Runs program with standard output and standard error into one pipe and reads to end of file
    // (every holder of the writing end closed it), keeping at most `limit` bytes and counting the
    // rest. Does not judge the exit status.
    virtual Output capture(const std::string& program, const std::vector<std::string>& arguments,
                           std::size_t limit) = 0;
};

} // namespace action_service
