#include "PosixProcessRunner.hpp"

#include "PosixError.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace action_service {

namespace {

class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        // A service that ignores SIGPIPE or blocks signals must not hand that on to launchctl or the shell.
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
        // Where the system offers it, a child inherits only what the file actions name, whatever
        // another thread opens at the same moment.
        flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
        posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnAttributes() {
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const {
        return &attributes_;
    }

private:
    posix_spawnattr_t attributes_;
};

class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

// The standard streams a child keeps from the service (with POSIX_SPAWN_CLOEXEC_DEFAULT it would
// otherwise lose them).
void inheritStandardStreams([[maybe_unused]] FileActions& actions, [[maybe_unused]] int last) {
#ifdef POSIX_SPAWN_CLOEXEC_DEFAULT
    for (int fd = STDIN_FILENO; fd <= last; ++fd) {
        posix_spawn_file_actions_addinherit_np(actions.get(), fd);
    }
#endif
}

// Both ends close-on-exec from the start where pipe2 exists; elsewhere the flag follows at once and
// POSIX_SPAWN_CLOEXEC_DEFAULT covers the moment in between.
int openPipe(int ends[2]) {
#if QUORVEL_HAVE_PIPE2
    return ::pipe2(ends, O_CLOEXEC);
#else
    if (::pipe(ends) != 0) {
        return -1;
    }
    if (::fcntl(ends[0], F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(ends[1], F_SETFD, FD_CLOEXEC) != 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        errno = error;
        return -1;
    }
    return 0;
#endif
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1)
        : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

std::vector<char*> argumentVector(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

int spawn(pid_t& pid, const std::string& program, const std::vector<std::string>& arguments,
          posix_spawn_file_actions_t* actions) {
    static const SpawnAttributes attributes;
    const std::vector<std::string> programOnly{program};
    const std::vector<std::string>& vector = arguments.empty() ? programOnly : arguments;
    // Each element ends at its first NUL byte: the child would get a shorter path or label.
    auto holdsNul = [](const std::string& text) { return text.find('\0') != std::string::npos; };
    if (holdsNul(program) || std::any_of(vector.begin(), vector.end(), holdsNul)) {
        return EINVAL;
    }
    std::vector<char*> argv = argumentVector(vector);
    return posix_spawn(&pid, program.c_str(), actions, attributes.get(), argv.data(), environ);
}

// Waits for exactly this child, never any other: another request may be waiting for its own.
int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return 128;
        }
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return 128;
}

// A pipe end on descriptor 0, 1 or 2 would be dup2'ed onto itself in the child and keep its
// close-on-exec flag; move such an end above the standard descriptors.
bool moveAboveStandardStreams(int& fd) {
    if (fd > 2) {
        return true;
    }
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        return false;
    }
    ::close(fd);
    fd = moved;
    return true;
}

} // namespace

ProcessRunner::Exit PosixProcessRunner::run(const std::string& program,
                                            const std::vector<std::string>& arguments) {
    FileActions actions;
    inheritStandardStreams(actions, STDERR_FILENO);
    pid_t pid = 0;
    if (int error = spawn(pid, program, arguments, actions.get()); error != 0) {
        return Exit{posixError(error), 0};
    }
    return Exit{std::nullopt, waitFor(pid)};
}

ProcessRunner::Output PosixProcessRunner::capture(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  std::size_t limit) {
    int ends[2];
    if (openPipe(ends) != 0) {
        return Output{posixError(errno), {}};
    }
    bool moved = moveAboveStandardStreams(ends[0]) && moveAboveStandardStreams(ends[1]);
    Descriptor reading(ends[0]);
    Descriptor writing(ends[1]);
    if (!moved) {
        return Output{posixError(errno), {}};
    }
    FileActions actions;
    inheritStandardStreams(actions, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writing.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writing.get(), STDERR_FILENO);
    pid_t pid = 0;
    if (int error = spawn(pid, program, arguments, actions.get()); error != 0) {
        return Output{posixError(error), {}};
    }
    // End of file must depend on the child's side alone.
    writing.reset();

    Output output;
    char block[4096];
    for (;;) {
        ssize_t count = ::read(reading.get(), block, sizeof block);
        if (count > 0) {
            const auto read = static_cast<std::size_t>(count);
            output.bytes.append(block, std::min(read, limit - output.bytes.size()));
            output.size += read;
        } else if (count == 0 || errno != EINTR) {
            break;
        }
    }
    reading.reset();
    waitFor(pid);
    return output;
}

} // namespace action_service
