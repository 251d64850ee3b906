#pragma once

#include "TempFolder.hpp"
#include "WaitFor.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <spawn.h>
#include <stdexcept>
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
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> pairs;
    for (const auto& [key, value] : environment) {
        pairs.push_back(key + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& pair : pairs) {
        envp.push_back(pair.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        throw std::runtime_error("cannot start " + arguments[0]);
    }
    ProgramRun run;
    waitFor(
        [&] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                run.waitStatus = status;
            }
            return run.waitStatus.has_value();
        },
        deadline);
    if (!run.waitStatus) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
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
