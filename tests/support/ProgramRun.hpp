#pragma once

#include "ChildProcess.hpp"
#include "TempFolder.hpp"

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace test_support {

// What a program run to its end left: its wait status (none if it outlived the deadline and was
// killed) and what it wrote on standard output and error.
struct ProgramRun {
    std::optional<int> waitStatus;
    std::string out;
    std::string err;

    bool exitedWith(int status) const {
        return waitStatus && WIFEXITED(*waitStatus) && WEXITSTATUS(*waitStatus) == status;
    }
};

// Runs `arguments` (an absolute program path first) with exactly `environment` and no standard input,
// and waits at most `deadline` for it to end.
inline ProgramRun runProgram(const std::vector<std::string>& arguments,
                             const std::map<std::string, std::string>& environment,
                             std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
    TempFolder folder("quorvel-program-run");
    const std::string out = folder / "out";
    const std::string err = folder / "err";
    ProgramRun run;
    {
        // Killed and reaped on leaving this scope if it outlived the deadline.
        Child child(arguments, environment, out, err);
        run.waitStatus = child.waitExit(deadline);
    }
    auto read = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    run.out = read(out);
    run.err = read(err);
    return run;
}

} // namespace test_support
