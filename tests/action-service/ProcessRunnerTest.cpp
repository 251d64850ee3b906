#include "ServiceFakes.hpp"
#include "WaitFor.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace service_test;
using Command = Controller::Command;
using TestCommand = Controller::TestCommand;

namespace {

bool hasNoChildren() {
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// Descriptor numbers (with their targets) that this process would hand to any child: those it got
// from its own parent without close-on-exec.
std::map<int, std::string> inheritableDescriptors() {
    std::map<int, std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        int fd = std::stoi(entry.path().filename().string());
        int flags = ::fcntl(fd, F_GETFD);
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0 && !error) {
            result[fd] = target.string();
        }
    }
    return result;
}

std::size_t openDescriptorCount() {
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

} // namespace

TEST(ProcessRunner, ReapsEveryChild) {
    Service service;
    ASSERT_TRUE(hasNoChildren());
    const std::size_t descriptors = openDescriptorCount();
    Controller truthful(service.platform(), "/bin/true");
    Controller failing(service.platform(), "/bin/false");
    Controller echoing(service.platform(), "/bin/echo");
    Controller missing(service.platform(), service.path("missing"));
    // A child or descriptor left per run shows after a few runs; many more only cost time.
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(truthful.runJobCommand(Command::remove, "x"));
        ASSERT_TRUE(failing.runJobCommand(Command::load, "x"));
        ASSERT_EQ(echoing.runTestCommand(TestCommand::error, "7\n").text, "error 7\n\n");
        ASSERT_TRUE(missing.runJobCommand(Command::unload, "x"));
        ASSERT_NE(missing.runTestCommand(TestCommand::load, "x").text, "");
    }
    EXPECT_TRUE(hasNoChildren());
    EXPECT_EQ(openDescriptorCount(), descriptors) << "no descriptor left behind, failed starts included";
}

TEST(ProcessRunner, ReportsExitStatusSignalsAndLaunchErrors) {
    PosixProcessRunner runner;
    EXPECT_EQ(runner.run("/bin/sh", {"/bin/sh", "-c", "exit 42"}).status, 42);
    EXPECT_EQ(runner.run("/bin/sh", {"/bin/sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
    auto missing = runner.run("/no/such/program", {"/no/such/program"});
    ASSERT_TRUE(missing.launchError);
    EXPECT_EQ(missing.launchError->domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(missing.launchError->code, ENOENT);

    auto both = runner.capture("/bin/sh",
                               {"/bin/sh", "-c", "printf out; printf err >&2; exec 1>&- 2>&-; exit 3"}, 1000);
    EXPECT_FALSE(both.launchError);
    EXPECT_EQ(both.bytes, "outerr");
    EXPECT_EQ(both.size, 6u);
    const std::vector<std::string> big{"/bin/sh", "-c", "head -c 200000 /dev/zero | tr '\\0' z"};
    EXPECT_EQ(runner.capture("/bin/sh", big, 200000).bytes, std::string(200000, 'z'));
    // Past the limit the output is read to its end, counted and dropped.
    auto kept = runner.capture("/bin/sh", big, 4097);
    EXPECT_EQ(kept.bytes, std::string(4097, 'z'));
    EXPECT_EQ(kept.size, 200000u);
}

TEST(ProcessRunner, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    Service service;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ::sigaction(SIGPIPE, &ignore, &previous);
    struct sigaction previousQuit {};
    ::sigaction(SIGQUIT, &ignore, &previousQuit);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    sigaddset(&blocked, SIGTERM);
    sigset_t previousMask;
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);

    EXPECT_FALSE(service.controller.runJobCommand(Command::remove, "x"));
    service.controller.runTestCommand(TestCommand::error, "1");

    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    ::sigaction(SIGPIPE, &previous, nullptr);
    ::sigaction(SIGQUIT, &previousQuit, nullptr);
    ASSERT_EQ(service.launchctl.callCount(), 2u);
    for (std::size_t call : {0u, 1u}) {
        // Signals above 31 are the C library's own, which it sets itself in every child.
        std::istringstream lines(service.launchctl.signals(call));
        std::map<std::string, unsigned long long> masks;
        for (std::string name, hex; lines >> name >> hex;) {
            masks[name] = std::stoull(hex, nullptr, 16) & 0x7fffffffULL;
        }
        EXPECT_EQ(masks, (std::map<std::string, unsigned long long>{{"SigBlk:", 0}, {"SigIgn:", 0}})) << call;
    }
}

// A child sees no descriptor of the service's: not the pipe of a capture running beside it, not its
// own pipe's reading end.
TEST(ProcessRunner, ChildrenInheritNoDescriptorOfTheService) {
    Service service;
    const auto inheritable = inheritableDescriptors();
    service.launchctl.hold("load");
    std::string held;
    std::thread capture([&] { held = service.controller.runTestCommand(TestCommand::load, "/held").text; });
    ASSERT_TRUE(test_support::waitFor([&] { return service.launchctl.startedCount() == 1; }));
    EXPECT_FALSE(service.controller.runJobCommand(Command::remove, "beside"));
    service.launchctl.release();
    capture.join();

    auto check = [&](std::size_t call, std::set<int> ownPipes) {
        for (const auto& [fd, target] : service.launchctl.descriptors(call)) {
            if (target.rfind("pipe:", 0) != 0 || ownPipes.count(fd) != 0) {
                continue;
            }
            auto parent = inheritable.find(fd);
            EXPECT_TRUE(parent != inheritable.end() && parent->second == target)
                << "call " << call << " holds descriptor " << fd << " -> " << target;
        }
    };
    auto calls = service.launchctl.calls();
    ASSERT_EQ(calls.size(), 2u);
    std::size_t heldCall = calls[0][0] == "load" ? 0 : 1;
    check(heldCall, {1, 2});
    check(1 - heldCall, {});
}
