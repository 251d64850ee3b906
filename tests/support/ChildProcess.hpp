#pragma once

#include "WaitFor.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

// A line of /proc/<pid>/status as a number (kB for memory lines); -1 when there is none.
inline long statusNumber(pid_t pid, const std::string& key) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

// The wait status of a child of this process once it has ended within the deadline; reaps it.
inline std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds deadline) {
    std::optional<int> ended;
    waitFor(
        [&] {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                ended = status;
            }
            return ended.has_value();
        },
        deadline);
    return ended;
}

// A child process started with an argument vector and an environment of its own; standard output and
// error go to files. Killed and reaped when the object goes, if still running.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment,
          const std::filesystem::path& standardOutput, const std::filesystem::path& standardError) {
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
        posix_spawn_file_actions_addopen(&actions, 1, standardOutput.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawn_file_actions_addopen(&actions, 2, standardError.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigfillset(&defaults);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        const int failed = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (failed != 0) {
            throw std::runtime_error("cannot start " + arguments[0]);
        }
    }
    ~Child() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const { ::kill(pid_, number); }
    // The wait status once the child has ended within the deadline.
    std::optional<int> waitExit(std::chrono::milliseconds deadline) {
        if (!status_) {
            status_ = waitForExit(pid_, deadline);
        }
        return status_;
    }
    bool running() {
        waitExit(std::chrono::milliseconds(0));
        return !status_;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace test_support
